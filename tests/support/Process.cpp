#include "tests/support/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/Loopback.h"

extern char** environ;

bool TProcess::Start(const std::vector<std::string>& Argv, const TProcessOptions& Options) {
    // Everything the child needs is prepared before the fork: after it, only plain system calls.
    std::vector<char*> args;
    for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    for (const std::string& e : Options.Env) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const char* file = args[0];
    std::string path;
    if (!std::strchr(file, '/')) {
        std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (access((dir + "/" + file).c_str(), X_OK) == 0) {
                path = dir + "/" + file;
                break;
            }
        if (path.empty()) return false;
        file = path.c_str();
    }

    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (Options.StdinPipe && pipe2(in, O_CLOEXEC) != 0) return false;
    if (Options.StdoutPipe && pipe2(out, O_CLOEXEC) != 0) return false;
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    FPid = fork();
    if (FPid == 0) {
        dup2(Options.StdinPipe ? in[0] : null, 0);
        dup2(Options.StdoutPipe ? out[1] : null, 1);
        dup2(null, 2);
        if (Options.PassFd >= 0) {
            // dup2 onto another number clears close-on-exec; onto itself it would not.
            if (Options.PassFd == 3) {
                fcntl(3, F_SETFD, 0);
            } else {
                dup2(Options.PassFd, 3);
            }
        }
        execve(file, args.data(), env.data());
        _exit(127);
    }
    close(null);
    if (Options.StdinPipe) {
        close(in[0]);
        FStdin = in[1];
    }
    if (Options.StdoutPipe) {
        close(out[1]);
        FStdout = out[0];
    }
    return FPid > 0;
}

std::string TProcess::ReadLine(int TimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (FOutput.find('\n') == std::string::npos && FStdout >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{FStdout, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = read(FStdout, buf, sizeof buf);
        if (n <= 0) break;
        FOutput.append(buf, static_cast<size_t>(n));
    }
    const size_t end = FOutput.find('\n');
    if (end == std::string::npos) return {};
    std::string line = FOutput.substr(0, end);
    FOutput.erase(0, end + 1);
    return line;
}

bool TProcess::Running() {
    if (FPid <= 0) return false;
    if (waitpid(FPid, &FStatus, WNOHANG) != FPid) return true;
    FPid = -1;
    return false;
}

bool TProcess::Succeeds(int TimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Running()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(FStatus) && WEXITSTATUS(FStatus) == 0;
}

void TProcess::Stop() {
    if (FStdin >= 0) close(FStdin);
    if (FStdout >= 0) close(FStdout);
    FStdin = FStdout = -1;
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(FPid, nullptr, WNOHANG) != FPid) {
        if (std::chrono::steady_clock::now() > until) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FPid = -1;
}

namespace {

// The socket inodes of listening TCP sockets on Port, from the kernel's table.
std::vector<std::string> ListeningInodes(int Port) {
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const size_t colon = local.rfind(':');
            if (state != "0A" || colon == std::string::npos) continue;  // 0A: listening
            if (std::stoi(local.substr(colon + 1), nullptr, 16) == Port) inodes.push_back(inode);
        }
    }
    return inodes;
}

int CountEntries(const std::string& Dir) {
    int n = 0;
    if (DIR* d = opendir(Dir.c_str())) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

bool ProcessListensOn(pid_t Pid, int Port) {
    const std::vector<std::string> inodes = ListeningInodes(Port);
    if (inodes.empty()) return false;
    const std::string dir = "/proc/" + std::to_string(Pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[64];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string link(target, static_cast<size_t>(n));
        for (const std::string& inode : inodes) found = found || link == "socket:[" + inode + "]";
    }
    closedir(d);
    return found;
}

bool WaitListening(TProcess& Process, int Port, int TimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (ProcessListensOn(Process.Pid(), Port)) return true;
        if (!Process.Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int StartOnFreshPort(const std::function<bool(int Port)>& Start) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        int port = 0;
        int fd = BoundOnLoopback(SOCK_STREAM, port);
        if (fd < 0) return 0;
        close(fd);
        if (Start(port)) return port;
    }
    return 0;
}

int OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

int ThreadCount() {
    return CountEntries("/proc/self/task");
}

TProcessCounts CurrentCounts() {
    return {OpenDescriptorCount(), ThreadCount()};
}

bool ThreadsBackTo(int Before, int TimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (ThreadCount() > Before) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TProcessCounts CountsBackTo(const TProcessCounts& Before, int TimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    TProcessCounts now = CurrentCounts();
    while ((now.Descriptors > Before.Descriptors || now.Threads > Before.Threads) &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = CurrentCounts();
    }
    return now;
}
