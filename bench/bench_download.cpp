// The download worker in file mode against `curl -s -o FILE`, both fetching the same file from
// nginx on 127.0.0.1 in the same run, over plain http and over TLS (both trusting the same
// private CA). Reports throughput, CPU time and the process's peak memory; the peak after the
// 10 MiB runs and after the 1 GiB runs shows whether memory grows with the size of the download.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>

#include "download/THttpThread.h"
#include "platform/UiThread.h"
#include "tests/support/Nginx.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCa.h"

namespace {

struct TWorld {
    TTempFolder Root;
    TTempFolder Out;
    std::unique_ptr<TNginx> Server;
    std::unique_ptr<TNginx> TlsServer;
    TTestCa Ca;
    TTrustedCa Trust{Ca.CaFile()};
    TWorld() {
        for (int mib : {10, 1024}) {
            // Sparse files: nginx reads zeros from the page cache, the same for both clients.
            int fd = open(Root.File(std::to_string(mib) + ".bin").c_str(),
                          O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ftruncate(fd, int64_t(mib) << 20) != 0) std::abort();
            close(fd);
        }
        Server = std::make_unique<TNginx>();
        if (!Server->Start({.Root = Root.Path})) std::abort();
        TlsServer = std::make_unique<TNginx>();
        if (!Ca.Ok() || !TlsServer->Start({.Root = Root.Path,
                                           .Server = NginxTlsLines(Ca.Issue("IP:127.0.0.1")),
                                           .ListenOptions = " ssl"}))
            std::abort();
    }
    std::string Url(int mib, bool tls) const {
        // Built in steps: GCC 12's -Wrestrict misreads "/" + std::to_string(...) at -O3.
        std::string path = "/";
        path += std::to_string(mib);
        path += ".bin";
        return tls ? "https://127.0.0.1:" + TlsServer->Port() + path : Server->Url(path);
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

struct TRunFigures {
    double Seconds = 0, Cpu = 0;
    bool Ok = false;
};

TRunFigures RunOurs(const std::string& url, const std::string& file) {
    TQueuedUiThread ui;
    SetUiThread(&ui);
    TUrlInfo request;
    request.Url = url;
    request.FileName = file;
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
    SetUiThread(nullptr);
    return {std::chrono::duration<double>(stop - start).count(),
            CpuSeconds(after) - CpuSeconds(before), ended && code == 0};
}

TRunFigures RunCurl(const std::string& url, const std::string& file) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        const char* ca = std::getenv("SSL_CERT_FILE");
        execlp("curl", "curl", "-s", "--cacert", ca != nullptr ? ca : "", "-o", file.c_str(),
               url.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    auto stop = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(stop - start).count(), CpuSeconds(usage),
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

// Each iteration runs the worker and curl on the same file, so both see the same load of the
// machine; the order alternates, since the one that runs second meets the first one's file
// still being written back. The iteration time is the worker's.
void BM_DownloadVsCurl(benchmark::State& state) {
    const int mib = int(state.range(0));
    TWorld& w = World();
    const std::string url = w.Url(mib, state.range(1) != 0);
    TRunFigures ours, curl;
    int runs = 0;
    for (auto _ : state) {
        TRunFigures a, b;
        if (runs % 2 == 0) {
            a = RunOurs(url, w.Out.File("ours.bin"));
            b = RunCurl(url, w.Out.File("curl.bin"));
        } else {
            b = RunCurl(url, w.Out.File("curl.bin"));
            a = RunOurs(url, w.Out.File("ours.bin"));
        }
        if (!a.Ok || !b.Ok) state.SkipWithError("a download failed");
        state.SetIterationTime(a.Seconds);
        ours.Seconds += a.Seconds;
        ours.Cpu += a.Cpu;
        curl.Seconds += b.Seconds;
        curl.Cpu += b.Cpu;
        ++runs;
    }
    if (runs == 0) return;
    state.counters["ours_MiB/s"] = mib * runs / ours.Seconds;
    state.counters["curl_MiB/s"] = mib * runs / curl.Seconds;
    state.counters["speed_ratio"] = curl.Seconds / ours.Seconds;
    state.counters["ours_cpu_s"] = ours.Cpu / runs;
    state.counters["curl_cpu_s"] = curl.Cpu / runs;
    state.counters["cpu_ratio"] = ours.Cpu / curl.Cpu;
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
}

// 10 MiB first, so that the peak after the 1 GiB runs shows any growth. Second argument: TLS.
BENCHMARK(BM_DownloadVsCurl)
    ->Args({10, 0})
    ->Args({1024, 0})
    ->Args({1024, 1})
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
