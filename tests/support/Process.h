// Launching a helper program for a test (a server, a script) and stopping it again, plus probes
// of processes: which ports one listens on, and this process's open descriptors and threads for
// leak checks. Used from the test thread; the object owns the child and stops it when it goes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct TProcessOptions {
    // Extra "NAME=value" entries added to the environment.
    std::vector<std::string> Env{};
    // A descriptor handed to the child as descriptor 3 (for a listening socket); -1 for none.
    int PassFd = -1;
    // A pipe on the child's standard input, closed by Stop (for programs that end on EOF).
    bool StdinPipe = false;
    // Standard output readable through ReadLine; otherwise both outputs go to /dev/null.
    bool StdoutPipe = false;
};

class TProcess {
public:
    TProcess() = default;
    ~TProcess() { Stop(); }
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    // Starts Argv[0] (a path, or a name looked up in PATH); false when it could not be started.
    bool Start(const std::vector<std::string>& Argv, const TProcessOptions& Options = {});
    // The next line the child prints (without the newline); "" when none came within the time.
    std::string ReadLine(int TimeoutMs);
    // False once the child has ended (it is reaped then).
    bool Running();
    // Waits for the child to end by itself; true when it exited with status 0 within the time.
    bool Succeeds(int TimeoutMs);
    // Closes its input, sends SIGTERM and waits; SIGKILL after five seconds.
    void Stop();
    pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
    int FStdin = -1;
    int FStdout = -1;
    std::string FOutput;
    int FStatus = -1;
};

// True when process Pid holds a socket listening on 127.0.0.1:Port (or on any address).
bool ProcessListensOn(pid_t Pid, int Port);
// Waits until Process listens on Port; false when it ended or TimeoutMs passed first.
bool WaitListening(TProcess& Process, int Port, int TimeoutMs = 20000);
// For servers that can neither listen on port 0 nor take over a socket: Start(port) launches
// the server on a port the kernel just gave out and released and says whether it came up
// listening there; another process may take the port in between, so up to ten ports are
// tried. The port it listens on, or 0.
int StartOnFreshPort(const std::function<bool(int Port)>& Start);

// Open descriptors and threads of this process, for leak checks.
int OpenDescriptorCount();
int ThreadCount();
struct TProcessCounts {
    int Descriptors = 0;
    int Threads = 0;
};
TProcessCounts CurrentCounts();
// Waits (at most TimeoutMs) until this process has no more than Before threads: a helper
// thread (a name lookup) has ended and whatever it posted is queued. False on timeout.
bool ThreadsBackTo(int Before, int TimeoutMs = 10000);
// Waits (at most TimeoutMs) until neither count is above Before: workers and name lookups may
// still be on their way out when a test ends. Gives the counts seen last.
TProcessCounts CountsBackTo(const TProcessCounts& Before, int TimeoutMs = 10000);
