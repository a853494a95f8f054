// Downloads over several connections per file: the download worker in file mode with 1, 4 and 8
// connections (TUrlInfo::Connections) against aria2c with as many (-xN -sN -k1M), all fetching
// stamped files from nginx on 127.0.0.1 in the same run.
// - Throttled: 200 MiB, nginx sending each connection 2 MiB/s (limit_rate 2m). Ours with 4 and
//   with 8 connections against ours with 1 (speed_ratio_4, _8; goal for 4: >= 3.6) and against
//   aria2c with as many (wall_ratio_aria4, _aria8; goal <= 1.05).
// - ThrottledTls: the same over TLS, both trusting a private CA: ours with 4 against aria2c -x4
//   (wall_ratio_aria4; goal <= 1.05).
// - Unthrottled: 1 GiB at full speed, ours with 4 against ours with 1 (wall_ratio, cpu_ratio;
//   goals <= 1.05 and <= 1.15) and the peak memory of each (ours4_peak_MiB, ours1_peak_MiB;
//   goal < 64).
// Each of our downloads runs in a process of its own: this executable started again with
// --fetch URL FILE CONNECTIONS runs one worker and exits, so its wall and CPU time and its peak
// resident memory (ru_maxrss from wait4) are that one download's, taken as aria2c's are. Every
// iteration runs each side once, a different side first each time; the ratios are medians of
// the iterations' ratios, rates and CPU times are means, peaks the largest seen. Each file is
// compared byte for byte with the served one after its run, outside the timing.
// Run (about 20 minutes; 35 while our side uses one connection whatever it is given):
//   build/bench/bench_segments
// Quick check (20 MiB throttled, 100 MiB unthrottled, 3 iterations, about 2 minutes):
//   SORLEN_BENCH_QUICK=1 build/bench/bench_segments
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "bench/BenchFigures.h"
#include "tests/support/Nginx.h"
#include "tests/support/StampedFile.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCa.h"

namespace {

bool Quick() {
    const char* quick = std::getenv("SORLEN_BENCH_QUICK");
    return quick != nullptr && std::string_view(quick) == "1";
}

const int kIterations = Quick() ? 3 : 5;
const int64_t kThrottledMiB = Quick() ? 20 : 200;
const int64_t kFullMiB = Quick() ? 100 : 1024;
// Per connection; nginx's "m" is MiB.
constexpr const char* kLimit = "limit_rate 2m;\n";

// Read once after writing, so that nginx serves every client from the page cache (SparseFile).
void ServedFile(const std::string& path, int64_t bytes) {
    if (!WriteStampedFile(path, bytes)) std::abort();
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), std::streamsize(block.size()))) {
    }
}

bool SameAs(const std::string& file, const std::string& served) {
    TCompareStream compare(served);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), std::streamsize(block.size())) || in.gcount() > 0)
        compare.Write(block.data(), in.gcount());
    return !compare.Differs && compare.Written == int64_t(std::filesystem::file_size(served));
}

struct TWorld {
    TTempFolder Root;
    TTempFolder Out;
    TTestCa Ca;
    TTrustedCa Trust{Ca.CaFile()};
    TNginx Throttled, ThrottledTls, Full;
    TWorld() {
        ServedFile(Root.File("throttled.bin"), kThrottledMiB << 20);
        ServedFile(Root.File("full.bin"), kFullMiB << 20);
        if (!Ca.Ok() || !Throttled.Start({.Root = Root.Path, .Server = kLimit}) ||
            !ThrottledTls.Start({.Root = Root.Path,
                                 .Server = NginxTlsLines(Ca.Issue("IP:127.0.0.1")) + kLimit,
                                 .ListenOptions = " ssl"}) ||
            !Full.Start({.Root = Root.Path}))
            std::abort();
    }
};

TWorld& World() {
    static TWorld world;
    return world;
}

// One client with its options; Name names its counters and its file in the output folder.
struct TSide {
    std::string Name;
    std::string File;
    std::vector<std::string> Argv;
    std::vector<TRunFigures> Runs{};
};

TSide Ours(int connections, const std::string& url) {
    const std::string name = "ours" + std::to_string(connections);
    const std::string file = World().Out.File(name + ".bin");
    return {name, file, {"/proc/self/exe", "--fetch", url, file, std::to_string(connections)}};
}

// ca: the CA file to trust, for https.
TSide Aria2(int connections, const std::string& url, const std::string& ca = "") {
    const std::string name = "aria" + std::to_string(connections);
    const std::string n = std::to_string(connections);
    TSide side{name,
               World().Out.File(name + ".bin"),
               {"aria2c", "--no-conf", "-x" + n, "-s" + n, "-k1M", "--allow-overwrite=true",
                "--file-allocation=none", "--console-log-level=warn", "--summary-interval=0",
                "--show-console-readout=false", "--download-result=hide", "-d", World().Out.Path,
                "-o", name + ".bin"}};
    if (!ca.empty()) side.Argv.push_back("--ca-certificate=" + ca);
    side.Argv.push_back(url);
    return side;
}

// Each iteration runs every side once, starting one further along each time, so that each meets
// the others' after-effects (a file still being written back) in turn. The iteration time is
// the first side's. False, with the benchmark skipped, when a download failed or differed.
bool RunRounds(benchmark::State& state, std::vector<TSide>& sides, const std::string& served) {
    size_t round = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < sides.size(); ++k) {
            TSide& side = sides[(round + k) % sides.size()];
            const TRunFigures f = RunChild(side.Argv);
            const bool whole = f.Ok && SameAs(side.File, served);
            std::filesystem::remove(side.File);
            if (!whole) {
                const std::string why = side.Name + ": the download failed or differed";
                state.SkipWithError(why.c_str());
                return false;
            }
            side.Runs.push_back(f);
        }
        state.SetIterationTime(sides[0].Runs.back().Seconds);
        ++round;
    }
    return true;
}

void SideCounters(benchmark::State& state, const std::vector<TSide>& sides, int64_t mib) {
    for (const TSide& side : sides) {
        double seconds = 0, cpu = 0;
        long peak = 0;
        for (const TRunFigures& f : side.Runs) {
            seconds += f.Seconds;
            cpu += f.Cpu;
            peak = std::max(peak, f.PeakKiB);
        }
        const double runs = double(side.Runs.size());
        state.counters[side.Name + "_MiB/s"] = double(mib) * runs / seconds;
        state.counters[side.Name + "_cpu_s"] = cpu / runs;
        state.counters[side.Name + "_peak_MiB"] = double(peak) / 1024;
    }
}

enum class TFigure { Wall, Cpu };

// The median over the iterations of a's figure divided by b's.
double MedianRatio(const TSide& a, const TSide& b, TFigure figure) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.Runs.size(); ++i)
        ratios.push_back(figure == TFigure::Wall ? a.Runs[i].Seconds / b.Runs[i].Seconds
                                                 : a.Runs[i].Cpu / b.Runs[i].Cpu);
    return Median(ratios);
}

std::string Label(int64_t mib, bool throttled) {
    std::string label = std::to_string(mib);
    label += throttled ? " MiB at 2 MiB/s per connection" : " MiB at full speed";
    return label;
}

void BM_Throttled(benchmark::State& state) {
    TWorld& w = World();
    const std::string url = w.Throttled.Url("/throttled.bin");
    std::vector<TSide> sides = {Ours(4, url), Ours(1, url), Aria2(4, url), Ours(8, url),
                                Aria2(8, url)};
    if (!RunRounds(state, sides, w.Root.File("throttled.bin"))) return;
    SideCounters(state, sides, kThrottledMiB);
    state.counters["speed_ratio_4"] = MedianRatio(sides[1], sides[0], TFigure::Wall);
    state.counters["speed_ratio_8"] = MedianRatio(sides[1], sides[3], TFigure::Wall);
    state.counters["wall_ratio_aria4"] = MedianRatio(sides[0], sides[2], TFigure::Wall);
    state.counters["wall_ratio_aria8"] = MedianRatio(sides[3], sides[4], TFigure::Wall);
    state.SetLabel(Label(kThrottledMiB, true));
}

void BM_ThrottledTls(benchmark::State& state) {
    TWorld& w = World();
    const std::string url = "https" + w.ThrottledTls.Url("/throttled.bin").substr(4);
    std::vector<TSide> sides = {Ours(4, url), Aria2(4, url, w.Ca.CaFile())};
    if (!RunRounds(state, sides, w.Root.File("throttled.bin"))) return;
    SideCounters(state, sides, kThrottledMiB);
    state.counters["wall_ratio_aria4"] = MedianRatio(sides[0], sides[1], TFigure::Wall);
    state.SetLabel(Label(kThrottledMiB, true));
}

void BM_Unthrottled(benchmark::State& state) {
    TWorld& w = World();
    const std::string url = w.Full.Url("/full.bin");
    std::vector<TSide> sides = {Ours(4, url), Ours(1, url)};
    if (!RunRounds(state, sides, w.Root.File("full.bin"))) return;
    SideCounters(state, sides, kFullMiB);
    state.counters["wall_ratio"] = MedianRatio(sides[0], sides[1], TFigure::Wall);
    state.counters["cpu_ratio"] = MedianRatio(sides[0], sides[1], TFigure::Cpu);
    state.SetLabel(Label(kFullMiB, false));
}

BENCHMARK(BM_Throttled)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ThrottledTls)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Unthrottled)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Our side's child: one download. The worker has written and flushed the file before it
    // reports success; _exit leaves its thread no static destructor to race with.
    if (argc == 5 && std::string_view(argv[1]) == "--fetch")
        _exit(RunWorker(argv[2], argv[3], std::atoi(argv[4])).Ok ? 0 : 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
