// The download worker in file mode against `curl -s -o FILE`, both fetching the same file from
// nginx on 127.0.0.1 and on [::1] in the same run, over plain http and over TLS (both trusting
// the same private CA). Reports throughput, CPU time and the process's peak memory; the peak after
// the 10 MiB runs and after the 1 GiB runs shows whether memory grows with the size of the
// download. Then the worker against the least a client can do over plain http: one blocking loop.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "bench/BenchFigures.h"
#include "tests/support/Loopback.h"
#include "tests/support/Nginx.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCa.h"

namespace {

struct TWorld {
    TTempFolder Root;
    TTempFolder Out;
    // [1]: on [::1].
    std::unique_ptr<TNginx> Server[2];
    std::unique_ptr<TNginx> TlsServer[2];
    TTestCa Ca;
    TTrustedCa Trust{Ca.CaFile()};
    TWorld() {
        for (int mib : {10, 512, 1024}) {
            SparseFile(Root.File(std::to_string(mib) + ".bin"), int64_t(mib) << 20);
        }
        for (int v6 = 0; v6 < 2; ++v6) {
            Server[v6] = std::make_unique<TNginx>();
            if (!Server[v6]->Start({.Root = Root.Path, .Ipv6 = v6 != 0})) std::abort();
            TlsServer[v6] = std::make_unique<TNginx>();
            const std::string san = v6 ? "IP:::1" : "IP:127.0.0.1";
            if (!Ca.Ok() || !TlsServer[v6]->Start({.Root = Root.Path,
                                                   .Server = NginxTlsLines(Ca.Issue(san)),
                                                   .ListenOptions = " ssl",
                                                   .Ipv6 = v6 != 0}))
                std::abort();
        }
    }
    std::string Url(int mib, bool tls, bool v6) const {
        // Built in steps: GCC 12's -Wrestrict misreads "/" + std::to_string(...) at -O3.
        std::string path = "/";
        path += std::to_string(mib);
        path += ".bin";
        const TNginx& server = *(tls ? TlsServer : Server)[v6];
        return (tls ? "https" : "http") + server.Url(path).substr(4);
    }
};

TWorld& World() {
    static TWorld world;
    return world;
}

TRunFigures RunCurl(const std::string& url, const std::string& file) {
    const char* ca = std::getenv("SSL_CERT_FILE");
    return RunChild({"curl", "-s", "--cacert", ca != nullptr ? ca : "", "-o", file, url});
}

// The yardstick: connect, send the GET, receive into 1 MiB and write everything after the
// header to the file. Its CPU is the process's, like the worker's.
TRunFigures RunPlainLoop(int port, const std::string& path, const std::string& file) {
    const double cpu = SelfCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const int sock = ConnectLoopback(port);
    const int out = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    const std::string get =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    bool ok = sock >= 0 && out >= 0 && send(sock, get.data(), get.size(), MSG_NOSIGNAL) > 0;
    std::vector<char> buffer(1 << 20);
    std::string header;
    bool inBody = false;
    for (ssize_t n; ok && (n = recv(sock, buffer.data(), buffer.size(), 0)) > 0;) {
        const char* body = buffer.data();
        if (!inBody) {
            header.append(body, size_t(n));
            const size_t end = header.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            inBody = true;
            body += n - (header.size() - end - 4);
            n = ssize_t(header.size() - end - 4);
        }
        ok = n == 0 || write(out, body, size_t(n)) == n;
    }
    if (out >= 0) close(out);
    if (sock >= 0) close(sock);
    const auto stop = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(stop - start).count(), SelfCpuSeconds() - cpu,
            ok && inBody};
}

// The worker against the plain loop on 512 MiB over plain http (RunPairs).
void BM_DownloadVsPlainLoop(benchmark::State& state) {
    constexpr int kMiB = 512;
    TWorld& w = World();
    const std::string url = w.Url(kMiB, false, false);
    const TPairSums sums = RunPairs(
        state, [&] { return RunWorker(url, w.Out.File("ours.bin")); },
        [&] {
            return RunPlainLoop(w.Server[0]->NumericPort(), "/512.bin", w.Out.File("loop.bin"));
        });
    const int runs = sums.Runs;
    if (runs == 0) return;
    state.counters["ours_MiB/s"] = kMiB * runs / sums.Ours.Seconds;
    state.counters["loop_MiB/s"] = kMiB * runs / sums.Other.Seconds;
    state.counters["wall_ratio"] = sums.Ours.Seconds / sums.Other.Seconds;
    state.counters["cpu_ratio"] = sums.Ours.Cpu / sums.Other.Cpu;
    state.counters["wall_ratio_median"] = Median(sums.WallRatios);
    state.counters["cpu_ratio_median"] = Median(sums.CpuRatios);
}

BENCHMARK(BM_DownloadVsPlainLoop)->Iterations(8)->UseManualTime()->Unit(benchmark::kMillisecond);

// Each iteration runs the worker and curl on the same file (RunPairs).
void BM_DownloadVsCurl(benchmark::State& state) {
    const int mib = int(state.range(0));
    TWorld& w = World();
    const std::string url = w.Url(mib, state.range(1) != 0, state.range(2) != 0);
    const TPairSums sums = RunPairs(
        state, [&] { return RunWorker(url, w.Out.File("ours.bin")); },
        [&] { return RunCurl(url, w.Out.File("curl.bin")); });
    const TRunFigures &ours = sums.Ours, &curl = sums.Other;
    const int runs = sums.Runs;
    if (runs == 0) return;
    state.counters["ours_MiB/s"] = mib * runs / ours.Seconds;
    state.counters["curl_MiB/s"] = mib * runs / curl.Seconds;
    state.counters["speed_ratio"] = curl.Seconds / ours.Seconds;
    state.counters["ours_cpu_s"] = ours.Cpu / runs;
    state.counters["curl_cpu_s"] = curl.Cpu / runs;
    state.counters["cpu_ratio"] = ours.Cpu / curl.Cpu;
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
}

// 10 MiB first, so that the peak after the 1 GiB runs shows any growth. Second argument: TLS;
// third: over [::1].
BENCHMARK(BM_DownloadVsCurl)
    ->Args({10, 0, 0})
    ->Args({1024, 0, 0})
    ->Args({1024, 1, 0})
    ->Args({1024, 0, 1})
    ->Args({1024, 1, 1})
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
