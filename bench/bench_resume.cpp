// Going on after lost connections: a 200 MiB file from a server of our own that ends every
// connection after 20 MiB of body, fetched by the download worker, by `curl -C -` run again
// until it has the whole file, and by aria2c, in the same run. Reports each client's wall time
// and the body bytes the server sent against the file's size. The server ends connections with
// a FIN (argument 0: every byte sent arrives) or a reset (1: the bytes in flight are lost to any
// client).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "bench/BenchFigures.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempFolder.h"

namespace {

constexpr int64_t kSize = int64_t(200) << 20;
constexpr int64_t kPerConnection = int64_t(20) << 20;
constexpr int64_t kMiB = 1 << 20;

// Byte i of the file: zero, except that every MiB begins with its own offset, so that a lost
// or doubled piece shows.
void FillBlock(char* block, int64_t mibStart) {
    std::memset(block, 0, kMiB);
    std::memcpy(block, &mibStart, sizeof mibStart);
}

bool FileIsWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> got(kMiB), want(kMiB);
    int64_t at = 0;
    for (; in.read(got.data(), kMiB) || in.gcount() > 0; at += in.gcount()) {
        FillBlock(want.data(), at);
        if (std::memcmp(got.data(), want.data(), size_t(in.gcount())) != 0) return false;
    }
    return at == kSize;
}

class TDroppingServer {
public:
    explicit TDroppingServer(bool reset) : Reset(reset) {
        Listener = ListenOnLoopback(FPort);
        Acceptor = std::thread([this] { Accept(); });
    }
    ~TDroppingServer() {
        Stopping = true;
        Acceptor.join();
        for (std::thread& t : Threads) t.join();
        close(Listener);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/v.bin"; }
    int64_t TakeSent() { return Sent.exchange(0); }

private:
    void Accept() {
        while (!Stopping) {
            pollfd p{Listener, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int fd = accept(Listener, nullptr, nullptr);
            if (fd >= 0) Threads.emplace_back([this, fd] { Serve(fd); });
        }
    }
    void Serve(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            if (!WaitReadable(fd, 5000)) break;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, size_t(n));
        }
        int64_t from = 0;
        std::string lower = request;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t range = lower.find("\r\nrange: bytes=");
        const std::size_t ifRange = lower.find("\r\nif-range: ");
        if (range != std::string::npos &&
            (ifRange == std::string::npos || request.compare(ifRange + 12, 8, "\"bench1\"") == 0))
            from = std::atoll(request.c_str() + range + 15);
        if (from < 0 || from >= kSize) from = 0;
        std::string head = from == 0 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 206 Partial Content\r\n";
        head += "ETag: \"bench1\"\r\nAccept-Ranges: bytes\r\nContent-Length: " +
                std::to_string(kSize - from) + "\r\n";
        if (from > 0)
            head += "Content-Range: bytes " + std::to_string(from) + "-" +
                    std::to_string(kSize - 1) + "/" + std::to_string(kSize) + "\r\n";
        head += "\r\n";
        bool ok = send(fd, head.data(), head.size(), MSG_NOSIGNAL) == ssize_t(head.size());
        std::vector<char> block(kMiB);
        const int64_t end = std::min(kSize, from + kPerConnection);
        for (int64_t at = from; ok && at < end;) {
            const int64_t mib = at / kMiB * kMiB;
            FillBlock(block.data(), mib);
            const int64_t count = std::min(end, mib + kMiB) - at;
            const ssize_t n = send(fd, block.data() + (at - mib), size_t(count), MSG_NOSIGNAL);
            ok = n > 0;
            if (ok) {
                Sent += n;
                at += n;
            }
        }
        if (Reset) {
            const linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else {
            shutdown(fd, SHUT_WR);
            // Whatever the client still sends is read, so that closing does not turn into a reset.
            while (WaitReadable(fd, 2000) && read(fd, buffer, sizeof buffer) > 0) {
            }
        }
        close(fd);
    }

    const bool Reset;
    int Listener = -1;
    int FPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<int64_t> Sent{0};
    std::vector<std::thread> Threads;
    std::thread Acceptor;
};

TRunFigures RunCurlUntilWhole(const std::string& url, const std::string& file) {
    TRunFigures sum;
    for (int tries = 0; tries < 100 && !sum.Ok; ++tries) {
        const TRunFigures one = RunChild({"curl", "-s", "-C", "-", "-o", file, url});
        sum.Seconds += one.Seconds;
        sum.Cpu += one.Cpu;
        sum.Ok = one.Ok;
    }
    return sum;
}

TRunFigures RunAria2(const std::string& url, const std::string& folder) {
    return RunChild({"aria2c", "-q", "-x1", "-s1", "--max-tries=0", "--retry-wait=0",
                     "--allow-overwrite=true", "--auto-file-renaming=false", "-d", folder, "-o",
                     "aria2.bin", url});
}

void BM_ResumeAfterDrops(benchmark::State& state) {
    TDroppingServer server(state.range(0) != 0);
    TTempFolder out;
    const std::string url = server.Url();
    struct TSide {
        const char* Name;
        std::string File;
        std::function<TRunFigures()> Run;
        double Seconds = 0;
        int64_t Sent = 0;
    };
    TSide sides[] = {
        {"ours", out.File("ours.bin"), {}},
        {"curl", out.File("curl.bin"), {}},
        {"aria2c", out.File("aria2.bin"), {}},
    };
    sides[0].Run = [&] { return RunWorker(url, sides[0].File); };
    sides[1].Run = [&] { return RunCurlUntilWhole(url, sides[1].File); };
    sides[2].Run = [&] { return RunAria2(url, out.Path); };
    int runs = 0;
    for (auto _ : state) {
        // Each client goes first in turn, so that all meet the same load.
        for (int k = 0; k < 3; ++k) {
            TSide& side = sides[(runs + k) % 3];
            std::filesystem::remove(side.File);
            server.TakeSent();
            const TRunFigures f = side.Run();
            if (!f.Ok || !FileIsWhole(side.File)) state.SkipWithError(side.Name);
            side.Seconds += f.Seconds;
            side.Sent += server.TakeSent();
            if (&side == &sides[0]) state.SetIterationTime(f.Seconds);
        }
        ++runs;
    }
    if (runs == 0) return;
    for (const TSide& side : sides) {
        state.counters[std::string(side.Name) + "_s"] = side.Seconds / runs;
        state.counters[std::string(side.Name) + "_sent_ratio"] =
            double(side.Sent) / double(kSize) / runs;
    }
}

BENCHMARK(BM_ResumeAfterDrops)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
