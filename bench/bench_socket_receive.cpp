// Receive throughput: 1 GiB from a sender thread on 127.0.0.1 and on [::1], read in 8190-byte
// pieces (the HTTP engine's read size for a header), once through TWSocket's OnDataAvailable and
// once by a plain blocking recv() loop. All run in the same process under the same conditions.
// Then line mode fed 25, 50 and 100 MiB without a line end and no line limit: the time per MiB
// must stay flat as the unfinished line grows.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "platform/EventLoop.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedServer.h"

namespace {

constexpr std::int64_t kTotal = std::int64_t(1) << 30;
constexpr int kReadSize = 8190;

// A server that accepts one connection and writes Total bytes into it, then closes.
std::function<void(int)> SendTotal(std::int64_t Total = kTotal) {
    return [Total](int Fd) {
        std::vector<char> chunk(1 << 20, 'b');
        std::int64_t left = Total;
        while (left > 0) {
            ssize_t n = send(Fd, chunk.data(),
                             static_cast<std::size_t>(std::min<std::int64_t>(left, chunk.size())),
                             MSG_NOSIGNAL);
            if (n <= 0) break;
            left -= n;
        }
        close(Fd);
    };
}

// Throughput of every run, in bytes per second, for the closing summary; [1] over IPv6.
std::vector<double> PlainRates[2], SocketRates[2];
const char* const kFamily[] = {"127.0.0.1", "::1"};

double Seconds(std::chrono::steady_clock::time_point Since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Since).count();
}

// Range(0): 1 over IPv6.
void BM_PlainRecvLoop(benchmark::State& State) {
    const bool v6 = State.range(0) != 0;
    std::int64_t received = 0;
    for (auto _ : State) {
        auto start = std::chrono::steady_clock::now();
        TScriptedServer sender(SendTotal(), v6);
        int fd = ConnectLoopback(sender.NumericPort(), v6);
        if (fd < 0) {
            State.SkipWithError("connect failed");
            break;
        }
        char buf[kReadSize];
        std::int64_t got = 0;
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got += n;
        }
        close(fd);
        PlainRates[v6].push_back(static_cast<double>(got) / Seconds(start));
        if (got != kTotal) State.SkipWithError("short transfer");
        received += got;
    }
    State.SetBytesProcessed(received);
}

// Connects S to the sender at Addr and reads until the close; the byte count read.
std::int64_t ReceiveAll(TWSocket& S, const std::string& Port, const char* Addr = kFamily[0]) {
    std::int64_t got = 0;
    bool closed = false;
    S.OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t) {
        char buf[kReadSize];
        int n = Sender->Receive(buf, sizeof buf);
        if (n > 0) got += n;
    };
    S.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { closed = true; };
    S.SetAddr(Addr);
    S.SetPort(Port);
    S.Connect();
    while (!closed) TEventLoop::Current().WaitOne(-1);
    return got;
}

void BM_TWSocketReceive(benchmark::State& State) {
    const bool v6 = State.range(0) != 0;
    std::int64_t received = 0;
    for (auto _ : State) {
        auto start = std::chrono::steady_clock::now();
        TScriptedServer sender(SendTotal(), v6);
        TWSocket s;
        std::int64_t got = ReceiveAll(s, sender.Port(), kFamily[v6]);
        SocketRates[v6].push_back(static_cast<double>(got) / Seconds(start));
        if (got != kTotal) State.SkipWithError("short transfer");
        received += got;
    }
    State.SetBytesProcessed(received);
}

// One unfinished line of Range(0) MiB through line mode; the line arrives at the close.
void BM_LineModeWithoutLineEnd(benchmark::State& State) {
    const std::int64_t total = State.range(0) << 20;
    for (auto _ : State) {
        TScriptedServer sender(SendTotal(total));
        TWSocket s;
        s.SetLineMode(true);
        s.SetLineLimit(0);
        if (ReceiveAll(s, sender.Port()) != total) State.SkipWithError("short transfer");
    }
    State.SetBytesProcessed(State.iterations() * total);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

// The two readers take turns, over each family in turn, so a busy spell of the machine hits
// all alike; the summary compares their medians.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    constexpr int kRounds = 9;
    for (int round = 1; round <= kRounds; ++round)
        for (int v6 = 0; v6 < 2; ++v6) {
            std::string tag = std::string("/") + kFamily[v6] + "/round:" + std::to_string(round);
            benchmark::RegisterBenchmark(("PlainRecvLoop" + tag).c_str(), BM_PlainRecvLoop)
                ->Arg(v6)
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("TWSocketReceive" + tag).c_str(), BM_TWSocketReceive)
                ->Arg(v6)
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::RegisterBenchmark("LineModeWithoutLineEnd", BM_LineModeWithoutLineEnd)
        ->Arg(25)
        ->Arg(50)
        ->Arg(100)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // On a shared machine the best run shows what each reader can do when left alone; the
    // median shows what it did on the whole.
    constexpr double kMiB = 1 << 20;
    double sockMedian[2] = {0, 0};
    for (int v6 = 0; v6 < 2; ++v6) {
        const std::vector<double>&plainRates = PlainRates[v6], &sockRates = SocketRates[v6];
        if (plainRates.empty() || sockRates.empty()) continue;  // a filter left one out
        double plain = Median(plainRates), sock = Median(sockRates);
        double plainBest = *std::max_element(plainRates.begin(), plainRates.end());
        double sockBest = *std::max_element(sockRates.begin(), sockRates.end());
        sockMedian[v6] = sock;
        std::printf("over %s:\n", kFamily[v6]);
        std::printf("  plain recv loop: median %.1f MiB/s, best %.1f MiB/s\n", plain / kMiB,
                    plainBest / kMiB);
        std::printf("  TWSocket:        median %.1f MiB/s, best %.1f MiB/s\n", sock / kMiB,
                    sockBest / kMiB);
        std::printf("  ratio TWSocket/plain: median %.3f, best %.3f\n", sock / plain,
                    sockBest / plainBest);
    }
    if (sockMedian[0] > 0 && sockMedian[1] > 0)
        std::printf("TWSocket ::1 / 127.0.0.1: median %.3f\n", sockMedian[1] / sockMedian[0]);
    return 0;
}
