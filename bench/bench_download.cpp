// The download worker in file mode against `curl -s -o FILE`, both fetching the same file from
// nginx on 127.0.0.1 in the same run. Reports throughput, CPU time and the process's peak
// memory; the peak after the 10 MiB runs and after the 1 GiB runs shows whether memory grows
// with the size of the download.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <fstream>
#include <map>

#include "TestServers.h"
#include "download/THttpThread.h"
#include "platform/UiThread.h"

namespace {

struct TWorld {
    TTempDir Root;
    TTempDir Out;
    std::unique_ptr<TNginx> Server;
    TWorld() {
        for (int mib : {10, 1024}) {
            // Sparse files: nginx reads zeros from the page cache, the same for both clients.
            int fd = open((Root / (std::to_string(mib) + ".bin")).c_str(),
                          O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ftruncate(fd, int64_t(mib) << 20) != 0) std::abort();
            close(fd);
        }
        Server = std::make_unique<TNginx>(Root.Path);
        if (Server->Port == 0) std::abort();
    }
    std::string Url(int mib) const {
        return "http://127.0.0.1:" + std::to_string(Server->Port) + "/" + std::to_string(mib) +
               ".bin";
    }
};

TWorld& World() {
    static TWorld world;
    return world;
}

double CpuSeconds(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Per-run figures, averaged over the iterations when the benchmark ends.
struct TTotals {
    double Seconds = 0, Cpu = 0;
    int Runs = 0;
    void Add(benchmark::State& state, double seconds, double cpu) {
        state.SetIterationTime(seconds);
        Seconds += seconds;
        Cpu += cpu;
        ++Runs;
    }
    void Report(benchmark::State& state, int mib) const {
        if (Runs == 0) return;
        state.counters["MiB/s"] = mib * Runs / Seconds;
        state.counters["cpu_s"] = Cpu / Runs;
    }
};

void BM_HttpThreadFile(benchmark::State& state) {
    const int mib = int(state.range(0));
    TWorld& w = World();
    TQueuedUiThread ui;
    SetUiThread(&ui);
    TTotals totals;
    for (auto _ : state) {
        TUrlInfo request;
        request.Url = w.Url(mib);
        request.FileName = w.Out / "ours.bin";
        bool ended = false;
        int32_t code = -1;
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        auto start = std::chrono::steady_clock::now();
        auto* t = new THttpThread(request);
        t->OnDone = [&code](THttpThread*, int32_t c) { code = c; };
        t->OnTerminate = [&ended](THttpThread*) { ended = true; };
        t->Resume();
        ui.WaitFor([&] { return ended; }, std::chrono::minutes(5));
        auto stop = std::chrono::steady_clock::now();
        getrusage(RUSAGE_SELF, &after);
        if (code != 0) state.SkipWithError("download failed");
        totals.Add(state, std::chrono::duration<double>(stop - start).count(),
                   CpuSeconds(after) - CpuSeconds(before));
    }
    totals.Report(state, mib);
    SetUiThread(nullptr);
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
}

void BM_CurlFile(benchmark::State& state) {
    const int mib = int(state.range(0));
    TWorld& w = World();
    const std::string url = w.Url(mib), file = w.Out / "curl.bin";
    TTotals totals;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            execlp("curl", "curl", "-s", "-o", file.c_str(), url.c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        auto stop = std::chrono::steady_clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed");
        totals.Add(state, std::chrono::duration<double>(stop - start).count(), CpuSeconds(usage));
        state.counters["peak_rss_MiB"] = double(usage.ru_maxrss) / 1024;
    }
    totals.Report(state, mib);
}

// 10 MiB first, so that the peak after the 1 GiB runs shows any growth.
BENCHMARK(BM_HttpThreadFile)
    ->Arg(10)
    ->Arg(1024)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlFile)
    ->Arg(10)
    ->Arg(1024)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
