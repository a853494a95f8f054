// Plain sockets on 127.0.0.1 (and [::1]) for tests: listeners on a port the kernel picks, a port
// that is sure to refuse, and blocking reads and writes for server scripts, each bounded by a
// timeout so a fault cannot hang the test. Any thread; every descriptor belongs to the caller.
#pragma once

#include <cstddef>
#include <string>

// A name no resolver can know: a label longer than 63 bytes is refused by the resolver library
// itself, so the answer is "host not found" at once, with or without a network.
inline const std::string kUnknownHost = std::string(64, 'x') + ".invalid";

// A socket of Type bound to 127.0.0.1 on a port the kernel picks, stored in Port; -1 when the
// bind failed.
int BoundOnLoopback(int Type, int& Port);
// A listening TCP socket on 127.0.0.1 and its port; -1 on failure.
int ListenOnLoopback(int& Port);
// A listening TCP socket on [::1] alone, on Port, or on a port the kernel picks (stored in
// Port) when Port is 0; -1 on failure.
int ListenOnLoopback6(int& Port);
// A plain TCP socket connected to 127.0.0.1:Port (or [::1]:Port), or -1.
int ConnectLoopback(int Port, bool Ipv6 = false);

// A port on which connections are refused for as long as the object lives: the test holds it
// bound but never listens, so no other server (of this or another suite) can take it.
class TRefusedPort {
public:
    TRefusedPort();
    ~TRefusedPort();
    TRefusedPort(const TRefusedPort&) = delete;
    TRefusedPort& operator=(const TRefusedPort&) = delete;
    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }

private:
    int Fd = -1;
    int FPort = 0;
};

bool WaitReadable(int Fd, int TimeoutMs = 10000);
// Everything until the peer closes (or Limit bytes, or ten quiet seconds).
std::string ReadUntilEof(int Fd, std::size_t Limit = 1 << 20);
// Count bytes, fewer when the peer closes first or goes quiet for ten seconds.
std::string ReadExactly(int Fd, std::size_t Count);
void WriteAll(int Fd, const std::string& Data);
// Closing with a zero linger sends a reset instead of a normal close.
void ResetClose(int Fd);
