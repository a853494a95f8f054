#include "tests/support/Squid.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/Loopback.h"

TSquid::~TSquid() {
    Process.Stop();
    // Its shared-memory segments are named after the service name given at start.
    std::error_code ignored;
    for (const char* part : {"metadata", "queues", "readers"})
        std::filesystem::remove("/dev/shm/" + ServiceName + "-cf__" + part + ".shm", ignored);
}

// squid cannot listen on port 0 nor take over a socket, so the port is one the kernel just gave
// out and released. Another server may take it in between: squid then exits at once and the
// next port is tried. Success is squid itself listening on the port, never just any answer.
bool TSquid::Start(const TSquidConfig& Config) {
    static std::atomic<int> started{0};
    ServiceName = "sorlentest" + std::to_string(getpid()) + "n" + std::to_string(++started);
    for (int attempt = 0; attempt < 10; ++attempt) {
        int port = 0;
        int fd = BoundOnLoopback(SOCK_STREAM, port);
        if (fd < 0) return false;
        close(fd);
        if (StartOn(port, Config)) {
            FPort = port;
            return true;
        }
        Process.Stop();
    }
    return false;
}

bool TSquid::StartOn(int Port, const TSquidConfig& Config) {
    const std::string& d = Folder.Path;
    std::string user;
    if (geteuid() == 0) user = getpwnam("proxy") ? "proxy" : "nobody";
    Folder.Write("squid.conf",
                 "http_port 127.0.0.1:" + std::to_string(Port) + "\n" + Config.Lines +
                     "\nhttp_access allow all\ncache deny all\ncache_mem 8 MB\n"
                     "access_log none\ncache_log " +
                     d + "/cache.log\npid_filename " + d + "/squid.pid\ncoredump_dir " + d +
                     "\nshutdown_lifetime 0 seconds\ndns_nameservers 127.0.0.1\n"
                     "pinger_enable off\n" +
                     (user.empty() ? std::string() : "cache_effective_user " + user + "\n"));
    if (!Process.Start({"/usr/sbin/squid", "-N", "-n", ServiceName, "-f", d + "/squid.conf"}))
        return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (ProcessListensOn(Process.Pid(), Port)) return true;
        if (!Process.Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
