// A gibibyte over TLS: the engine fetches a stamped 1 GiB file from nginx on 127.0.0.1 and every
// byte is compared with the file as it arrives (a lost, doubled or moved byte fails the run).
// Reports throughput and CPU time; `curl --cacert CA -o /dev/null` on the same file, in the same
// iteration and alternating which goes first, is the yardstick.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bench/BenchFigures.h"
#include "http/THttpCli.h"
#include "platform/EventLoop.h"
#include "tests/support/Nginx.h"
#include "tests/support/StampedFile.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCa.h"

namespace {

constexpr std::int64_t kBody = std::int64_t(1) << 30;

struct TWorld {
    TTestCa Ca;
    TTrustedCa Trust{Ca.CaFile()};
    TTempFolder Root;
    TNginx Server;
    TWorld() {
        if (!Ca.Ok() || !WriteStampedFile(Root.File("large.bin"), kBody) ||
            !Server.Start({.Root = Root.Path,
                           .Server = NginxTlsLines(Ca.Issue("IP:127.0.0.1")),
                           .ListenOptions = " ssl"}))
            std::abort();
    }
    std::string Url() const { return "https://127.0.0.1:" + Server.Port() + "/large.bin"; }
};

TWorld& World() {
    static TWorld world;
    return world;
}

TRunFigures RunEngine(const TWorld& w) {
    TCompareStream compare(w.Root.File("large.bin"));
    THttpCli cli;
    cli.URL = w.Url();
    cli.ReceiveStream = &compare;
    bool done = false;
    cli.OnRequestDone = [&done](THttpCli*, THttpRequest, std::uint16_t) { done = true; };
    const double cpu = SelfCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    cli.StartRequest(httpGET);
    TEventLoop& loop = TEventLoop::Current();
    while (!done && std::chrono::steady_clock::now() - start < std::chrono::minutes(5))
        loop.WaitOne(20);
    const auto stop = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(stop - start).count(), SelfCpuSeconds() - cpu,
            done && cli.StatusCode() == 200 && compare.Written == kBody && !compare.Differs};
}

void BM_TlsGibibyteVsCurl(benchmark::State& state) {
    const TWorld& w = World();
    const TPairSums s = RunPairs(
        state, [&] { return RunEngine(w); },
        [&] {
            return RunChild({"curl", "-s", "--cacert", w.Ca.CaFile(), "-o", "/dev/null", w.Url()});
        });
    if (s.Runs == 0) return;
    state.counters["engine_MiB/s"] = 1024.0 * s.Runs / s.Ours.Seconds;
    state.counters["curl_MiB/s"] = 1024.0 * s.Runs / s.Other.Seconds;
    state.counters["engine_cpu_s"] = s.Ours.Cpu / s.Runs;
    state.counters["curl_cpu_s"] = s.Other.Cpu / s.Runs;
}
BENCHMARK(BM_TlsGibibyteVsCurl)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
