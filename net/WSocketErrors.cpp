// Error numbers: texts and the single errno/getaddrinfo translation table.
#include "net/WSocketErrors.h"

#include <netdb.h>

#include <cerrno>

namespace {

thread_local int LastSocketError = 0;

struct TErrText {
    int Code;
    const char* Text;
};

constexpr TErrText ErrTexts[] = {
    {0, "No Error"},
    {WSAEINTR, "Interrupted system call"},
    {WSAEBADF, "Bad file number"},
    {WSAEACCES, "Permission denied"},
    {WSAEFAULT, "Bad address"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open files"},
    {WSAEWOULDBLOCK, "Operation would block"},
    {WSAEINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, "Operation already in progress"},
    {WSAENOTSOCK, "Socket operation on non-socket"},
    {WSAEDESTADDRREQ, "Destination address required"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEPROTOTYPE, "Protocol wrong type for socket"},
    {WSAENOPROTOOPT, "Protocol not available"},
    {WSAEPROTONOSUPPORT, "Protocol not supported"},
    {WSAESOCKTNOSUPPORT, "Socket type not supported"},
    {WSAEOPNOTSUPP, "Operation not supported on socket"},
    {WSAEPFNOSUPPORT, "Protocol family not supported"},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Address not available"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, "Connection aborted"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAEISCONN, "Socket is already connected"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAESHUTDOWN, "Can't send after socket shutdown"},
    {WSAETOOMANYREFS, "Too many references: can't splice"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAELOOP, "Too many levels of symbolic links"},
    {WSAENAMETOOLONG, "File name too long"},
    {WSAEHOSTDOWN, "Host is down"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSAENOTEMPTY, "Directory not empty"},
    {WSAEPROCLIM, "Too many processes"},
    {WSAEUSERS, "Too many users"},
    {WSAEDQUOT, "Disc quota exceeded"},
    {WSAESTALE, "Stale NFS file handle"},
    {WSAEREMOTE, "Too many levels of remote in path"},
    {WSASYSNOTREADY, "Network sub-system is unusable"},
    {WSAVERNOTSUPPORTED, "WinSock DLL cannot support this application"},
    {WSANOTINITIALISED, "WinSock not initialized"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Non-authoritative host not found"},
    {WSANO_RECOVERY, "Non-recoverable error"},
    {WSANO_DATA, "No Data"},
    {socksProtocolError, "SOCKS negotiation failed (unexpected answer)"},
    {socksVersionError, "SOCKS server answered in another SOCKS version"},
    {socksAuthMethodError, "SOCKS server accepts none of the offered authentication methods"},
    {socksGeneralFailure, "SOCKS server refused the connection (general failure)"},
    {socksConnectionNotAllowed, "SOCKS server refused the connection (not allowed by its rules)"},
    {socksNetworkUnreachable, "SOCKS server refused the connection (network unreachable)"},
    {socksHostUnreachable, "SOCKS server refused the connection (host unreachable)"},
    {socksConnectionRefused, "SOCKS server refused the connection (connection refused)"},
    {socksTtlExpired, "SOCKS server refused the connection (time to live expired)"},
    {socksUnknownCommand, "SOCKS server refused the connection (command not supported)"},
    {socksUnknownAddressType, "SOCKS server refused the connection (address type not supported)"},
    {socksUnassignedError, "SOCKS server refused the connection (unknown reply code)"},
    {socksServerClosed, "SOCKS server closed the connection during the negotiation"},
    {socksAuthenticationFailed, "SOCKS authentication failed"},
    {socksRejectedOrFailed, "SOCKS server refused the connection (request rejected or failed)"},
    {socksHostResolutionFailed, "SOCKS 4 destination host not found"},
    {socksNoIpv6, "SOCKS 4 cannot reach an IPv6 address; choose SOCKS 4A or 5"},
};

// errno -> socket error number. EPIPE comes from a send on a connection the peer has reset
// (we never send after our own shutdown), which the desktop platform reports as a reset.
struct TErrMap {
    int Errno;
    int Code;
};

constexpr TErrMap ErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

// getaddrinfo/getnameinfo results; the rest count as a resolver failure.
constexpr TErrMap GaiMap[] = {
    {EAI_NONAME, WSAHOST_NOT_FOUND}, {EAI_ADDRFAMILY, WSAHOST_NOT_FOUND},
    {EAI_AGAIN, WSATRY_AGAIN},       {EAI_NODATA, WSANO_DATA},
    {EAI_MEMORY, WSAENOBUFS},
};

}  // namespace

std::string ErrorDescription(int ErrCode) {
    for (const TErrText& e : ErrTexts)
        if (e.Code == ErrCode) return e.Text;
    return "Not a WinSock error";
}

int WSocketErrorFromErrno(int Errno) {
    if (Errno == 0) return 0;
    for (const TErrMap& m : ErrnoMap)
        if (m.Errno == Errno) return m.Code;
    // An errno without a socket counterpart still has to read as a failure.
    return WSAEINVAL;
}

int WSocketErrorFromGai(int GaiCode, int Errno) {
    if (GaiCode == 0) return 0;
    if (GaiCode == EAI_SYSTEM) return Errno != 0 ? WSocketErrorFromErrno(Errno) : WSANO_RECOVERY;
    for (const TErrMap& m : GaiMap)
        if (m.Errno == GaiCode) return m.Code;
    return WSANO_RECOVERY;
}

int WSocketGetLastError() {
    return LastSocketError;
}

void WSocketSetLastError(int ErrCode) {
    LastSocketError = ErrCode;
}

int WSocketRecordErrno() {
    LastSocketError = WSocketErrorFromErrno(errno);
    return LastSocketError;
}
