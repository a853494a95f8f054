// What the download benchmarks measure and share: CPU time, peak memory, sparse files for nginx
// to serve, the worker alone in file mode, an outside client run as a child process, and runs
// of ours paired with another client's. Benchmark thread only.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "download/THttpThread.h"
#include "platform/UiThread.h"

struct TRunFigures {
    double Seconds = 0, Cpu = 0;
    bool Ok = false;
    long PeakKiB = 0;  // a child's peak resident memory (RunChild); 0 for runs in this process
};

inline double CpuSeconds(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double SelfCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

inline long PeakRssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A sparse file: nginx reads zeros from the page cache, the same for every client. It is read
// once here: filling the cache on the first download made that run up to ten times slower, and
// the first run is always the same side of a pair.
inline void SparseFile(const std::string& path, int64_t bytes) {
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, bytes) != 0) std::abort();
    std::vector<char> block(1 << 20);
    while (read(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
}

// One file-mode worker with no window, reporting to a queued UI thread on this thread;
// connections as TUrlInfo::Connections.
inline TRunFigures RunWorker(const std::string& url, const std::string& file,
                             int32_t connections = 0) {
    TQueuedUiThread ui;
    TUrlInfo request;
    request.Url = url;
    request.FileName = file;
    request.Connections = connections;
    bool ended = false;
    int32_t code = -1;
    const double cpu = SelfCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    auto* t = new THttpThread(request, ui);
    t->OnDone = [&code](THttpThread*, int32_t c) { code = c; };
    t->OnTerminate = [&ended](THttpThread*) { ended = true; };
    t->Resume();
    ui.WaitFor([&] { return ended; }, std::chrono::minutes(5));
    const auto stop = std::chrono::steady_clock::now();
    TRunFigures figures{std::chrono::duration<double>(stop - start).count(), SelfCpuSeconds() - cpu,
                        ended && code == 0};
    return figures;
}

// Our side and the other client once per iteration, alternating which goes first, so both meet
// the same load (the second meets the first one's file still being written back). The
// iteration time is ours; the sums of both sides are returned, and each pair's ratios of ours
// to the other's (a median of them stands against a run disturbed by other work on the machine).
struct TPairSums {
    TRunFigures Ours, Other;
    int Runs = 0;
    std::vector<double> WallRatios, CpuRatios;
};
inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}
inline TPairSums RunPairs(benchmark::State& state, const std::function<TRunFigures()>& ours,
                          const std::function<TRunFigures()>& other) {
    TPairSums sums;
    for (auto _ : state) {
        TRunFigures a, b;
        if (sums.Runs % 2 == 0) {
            a = ours();
            b = other();
        } else {
            b = other();
            a = ours();
        }
        if (!a.Ok || !b.Ok) state.SkipWithError("a download failed or differed");
        state.SetIterationTime(a.Seconds);
        sums.Ours.Seconds += a.Seconds;
        sums.Ours.Cpu += a.Cpu;
        sums.Other.Seconds += b.Seconds;
        sums.Other.Cpu += b.Cpu;
        sums.WallRatios.push_back(a.Seconds / b.Seconds);
        sums.CpuRatios.push_back(a.Cpu / b.Cpu);
        ++sums.Runs;
    }
    return sums;
}

// Runs argv as a child and gives its wall and CPU time and its peak memory.
inline TRunFigures RunChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto stop = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(stop - start).count(), CpuSeconds(usage),
            WIFEXITED(status) && WEXITSTATUS(status) == 0, usage.ru_maxrss};
}
