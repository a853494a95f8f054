// Name lookup: the blocking resolution routines, and TCustomWSocket's lookups, which run on
// short-lived helper threads that post their answer back to the socket's loop.
#include "net/WSocketLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "net/TCustomWSocket.h"
#include "platform/AsciiText.h"

// What a lookup thread shares with its socket. The socket reads the answer only after the
// posted notice has passed the loop's queue, which orders it after the thread's writes.
struct TLookupJob {
    std::uint64_t Handle = 0;
    std::string What;
    bool Reverse = false;
    std::vector<std::string> Results;
    int Error = 0;
};

namespace {

std::atomic<std::uint64_t> GNextLookupHandle{1};
std::atomic<std::uint64_t> GNameLookups{0};

int ResolveName(const char* Name, const addrinfo* Hints, addrinfo** Res) {
    errno = 0;
    return getaddrinfo(Name, nullptr, Hints, Res);
}

std::string Format(const char* Fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, Fmt);
    std::vsnprintf(buf, sizeof buf, Fmt, args);
    va_end(args);
    return buf;
}

// Only called on text IsDottedAddress accepted: four decimal numbers below 256.
std::uint32_t ParseDotted(const std::string& Text) {
    std::uint32_t host = 0, part = 0;
    for (char c : TrimBlanks(Text)) {
        if (c == '.') {
            host = (host << 8) | part;
            part = 0;
        } else {
            part = part * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    return htonl((host << 8) | part);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

void RunLookup(TLookupJob& Job) {
    if (Job.Reverse) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        std::string t = TrimBlanks(Job.What);
        // Like the platform's address conversion, anything unparsable becomes the broadcast
        // address, which then has no name.
        sa.sin_addr.s_addr = IsDottedAddress(t) ? ParseDotted(t) : INADDR_NONE;
        char host[NI_MAXHOST];
        errno = 0;
        int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host,
                             nullptr, 0, NI_NAMEREQD);
        if (rc != 0) {
            Job.Error = WSocketErrorFromGai(rc, errno);
            return;
        }
        Job.Results.push_back(host);
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ResolveName(Job.What.c_str(), &hints, &res);
    if (rc != 0) {
        Job.Error = WSocketErrorFromGai(rc, errno);
        return;
    }
    std::vector<std::string> v4, v6;
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            v4.push_back(
                DottedAddress(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr));
        } else if (ai->ai_family == AF_INET6) {
            char text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, text,
                      sizeof text);
            v6.push_back(text);
        }
    }
    freeaddrinfo(res);
    // RFC 8305 section 4: IPv6 first, then the families taking turns, each in the resolver's
    // order.
    for (std::size_t i = 0; i < v4.size() || i < v6.size(); ++i) {
        if (i < v6.size()) Job.Results.push_back(v6[i]);
        if (i < v4.size()) Job.Results.push_back(v4[i]);
    }
    if (Job.Results.empty()) Job.Error = WSANO_DATA;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Resolution routines

std::string DottedAddress(std::uint32_t NetAddr) {
    char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = NetAddr;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool IsDottedAddress(const std::string& Text) {
    std::size_t i = 0, n = Text.size();
    while (i < n && Text[i] == ' ') ++i;
    if (i < n && Text[i] == '.') return false;
    int dots = 0;
    unsigned num = 0;
    for (; i < n; ++i) {
        char c = Text[i];
        if (c == '.') {
            if (++dots > 3 || num > 255) return false;
            if (i + 1 >= n || !IsDigit(Text[i + 1])) return false;
            num = 0;
        } else if (IsDigit(c)) {
            num = num * 10 + static_cast<unsigned>(c - '0');
            if (num > 1000) num = 1000;  // already too big; stop it growing
        } else {
            while (i < n && Text[i] == ' ') ++i;
            if (i < n) return false;
            break;
        }
    }
    return dots == 3 && num < 256;
}

std::uint32_t WSocketResolveHost(const std::string& Text) {
    if (Text.empty() || Text.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Text + "' Invalid Hostname.");
    std::string t = TrimBlanks(Text);
    if (IsDottedAddress(t)) return ParseDotted(t);
    ++GNameLookups;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ResolveName(t.c_str(), &hints, &res);
    if (rc != 0 || res == nullptr) {
        int err = rc != 0 ? WSocketErrorFromGai(rc, errno) : WSANO_DATA;
        throw ESocketException(Format(
            "WSocketResolveHost: Cannot convert host address '%s', Error #%d", t.c_str(), err));
    }
    std::uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(Port[0])) {
        unsigned long v = 0;
        for (std::size_t i = 0; i < Port.size() && IsDigit(Port[i]); ++i) {
            v = v * 10 + static_cast<unsigned long>(Port[i] - '0');
            // A number past 16 bits would wrap onto some other port.
            if (v > 65535) throw ESocketException("WSocketResolvePort: Invalid Port.");
        }
        return static_cast<std::uint16_t>(v);
    }
    servent se{};
    servent* found = nullptr;
    char buf[1024];
    std::string p = TrimBlanks(Port), pr = TrimBlanks(Proto);
    if (getservbyname_r(p.c_str(), pr.c_str(), &se, buf, sizeof buf, &found) != 0 ||
        found == nullptr)
        throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                      Port.c_str(), WSANO_DATA));
    return ntohs(static_cast<std::uint16_t>(found->s_port));
}

int WSocketResolveProto(const std::string& Text) {
    if (Text.empty() || Text.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    if (IsDigit(Text[0])) {
        int v = 0;
        for (std::size_t i = 0; i < Text.size() && IsDigit(Text[i]) && v < 100000; ++i)
            v = v * 10 + (Text[i] - '0');
        return v;
    }
    const std::string t = AsciiLower(TrimBlanks(Text));
    if (t == "tcp") return IPPROTO_TCP;
    if (t == "udp") return IPPROTO_UDP;
    if (t == "raw") return IPPROTO_RAW;
    protoent pe{};
    protoent* found = nullptr;
    char buf[1024];
    if (getprotobyname_r(t.c_str(), &pe, buf, sizeof buf, &found) != 0 || found == nullptr)
        throw ESocketException(
            Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", Text.c_str(),
                   WSANO_DATA));
    return found->p_proto;
}

bool ParseIpv6Literal(const std::string& Text, TIpv6Bytes& Bytes) {
    std::string t = TrimBlanks(Text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
    in6_addr a{};
    if (t.find(':') == std::string::npos || inet_pton(AF_INET6, t.c_str(), &a) != 1) return false;
    std::memcpy(Bytes.data(), &a, Bytes.size());
    return true;
}

std::uint64_t WSocketNameLookups() {
    return GNameLookups.load();
}

std::string LocalHostName() {
    char buf[64];
    if (gethostname(buf, sizeof buf) != 0) throw ESocketException("Winsock.GetHostName failed");
    buf[sizeof buf - 1] = '\0';
    return buf;
}
// ---------------------------------------------------------------------------------------------
// Name lookup

void TCustomWSocket::StartLookup(const std::string& What, bool Reverse) {
    auto job = std::make_shared<TLookupJob>();
    job->Handle = GNextLookupHandle++;
    job->What = What;
    job->Reverse = Reverse;
    // Counted here, not on the helper thread, so the count is settled when the call returns.
    if (!Reverse) ++GNameLookups;
    TTargetRef ref = FWindow->Ref();
    try {
        std::thread([job, ref] {
            RunLookup(*job);
            ref.Post(job->Reverse ? WM_ASYNCGETHOSTBYADDR : WM_ASYNCGETHOSTBYNAME, job->Handle,
                     static_cast<std::intptr_t>(static_cast<std::uint32_t>(job->Error) << 16));
        }).detach();
    } catch (const std::system_error& e) {
        RaiseSocketException(Format("%s: can't start DNS lookup, error #%d", What.c_str(),
                                    WSocketErrorFromErrno(e.code().value())));
        return;
    }
    FDnsLookupHandle = job->Handle;
    FLookup = std::move(job);
}

// The earlier lookup and its results are dropped without an event of their own.
void TCustomWSocket::DropLookup() {
    FDnsLookupHandle = 0;
    FLookup.reset();
    FDnsResult.clear();
    FDnsResultList.clear();
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        RaiseSocketException("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    DropLookup();
    TIpv6Bytes ip6{};
    if (IsDottedAddress(HostName) || ParseIpv6Literal(HostName, ip6)) {
        char text[INET6_ADDRSTRLEN];
        FDnsResult = IsDottedAddress(HostName) ? DottedAddress(ParseDotted(HostName))
                                               : inet_ntop(AF_INET6, ip6.data(), text, sizeof text);
        FDnsResultList.push_back(FDnsResult);
        FireDnsLookupDone(0);
        return;
    }
    StartPlatform();
    StartLookup(HostName, false);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        RaiseSocketException("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    DropLookup();
    StartPlatform();
    StartLookup(HostAddr, true);
}

void TCustomWSocket::HandleLookupNotice(std::uint64_t Handle, std::uint32_t Word) {
    if (Handle == 0 || Handle != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    std::shared_ptr<TLookupJob> job = std::move(FLookup);
    std::uint16_t err = static_cast<std::uint16_t>(Word >> 16);
    if (err == 0 && job) {
        FDnsResultList = job->Results;
        FDnsResult = FDnsResultList.empty() ? std::string() : FDnsResultList.front();
    }
    FireDnsLookupDone(err);
}

void TCustomWSocket::CancelLookup() {
    if (FDnsLookupHandle == 0) return;
    // getaddrinfo cannot be stopped; its answer is dropped when it arrives.
    FDnsLookupHandle = 0;
    FLookup.reset();
    FireDnsLookupDone(WSAEINTR);
}
