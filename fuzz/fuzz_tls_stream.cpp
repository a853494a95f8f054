// A TLS server's bytes are network input. The first byte chooses how the client reads (piece
// size, line mode, receive loop, pausing) and how the server behaves; the rest is either raw
// bytes in place of the server's handshake, or, after a real handshake with a certificate the
// client trusts, a list of server actions: records of application data, raw bytes that break
// the stream, a key update or renegotiation request, a close alert. Whatever comes, the client
// must end with exactly one OnSessionClosed and one OnSessionConnected, no hang, and never
// hand out a byte the server did not send, in order; an unbroken stream arrives whole.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSockets.h"
#include "net/TWSocket.h"
#include "platform/EventLoop.h"

namespace {

int ListenFd = -1;
int ListenPort = 0;
SSL_CTX* ServerContext = nullptr;
char CertFile[] = "/tmp/sorlen-fuzz-tls-XXXXXX";

void RemoveCertFile() {
    unlink(CertFile);
}

// A self-signed certificate for 127.0.0.1, trusted by the client through SSL_CERT_FILE.
void MakeServer() {
    std::signal(SIGPIPE, SIG_IGN);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr) std::abort();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 30 * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* alt =
        X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, const_cast<char*>("IP:127.0.0.1"));
    if (alt == nullptr || X509_add_ext(cert, alt, -1) != 1 ||
        X509_sign(cert, key, EVP_sha256()) == 0)
        std::abort();
    X509_EXTENSION_free(alt);

    int fd = mkstemp(CertFile);
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f == nullptr || PEM_write_X509(f, cert) != 1) std::abort();
    std::fclose(f);
    std::atexit(RemoveCertFile);
    setenv("SSL_CERT_FILE", CertFile, 1);

    ServerContext = SSL_CTX_new(TLS_server_method());
    if (ServerContext == nullptr || SSL_CTX_use_certificate(ServerContext, cert) != 1 ||
        SSL_CTX_use_PrivateKey(ServerContext, key) != 1)
        std::abort();
    X509_free(cert);
    EVP_PKEY_free(key);

    ListenFd = FuzzListen(ListenPort);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1) return 0;
    if (ListenFd < 0) MakeServer();
    static const int kReadSizes[] = {1, 7, 1000, 16384};
    const std::uint8_t flags = Data[0];
    const bool rawHandshake = (flags & 1) != 0;
    const bool tls12 = (flags & 2) != 0;
    const bool lineMode = (flags & 4) != 0;
    const int readSize = kReadSizes[(flags >> 3) & 3];
    const bool reset = (flags & 64) != 0;
    bool pausing = (flags & 128) != 0;

    TWSocket s;
    int connected = 0, closed = 0;
    std::uint16_t connectError = 0, closeError = 0;
    bool paused = false;
    std::string received;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
        ++connected;
        connectError = e;
    };
    s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) {
        ++closed;
        closeError = e;
    };
    s.OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t) {
        char buf[16384];
        int n = Sender->Receive(buf, readSize);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        if (n > 0 && pausing && !paused) {
            paused = true;
            Sender->PauseEvents();
        }
    };
    // A paused reader is taken up again on the next turn.
    auto resume = [&] {
        if (paused) {
            paused = false;
            s.ResumeEvents();
        }
    };
    s.SetLineMode(lineMode);
    s.SetLineEnd("\n");
    if (flags & 32) s.SetComponentOptions(s.ComponentOptions().Include(wsoNoReceiveLoop));
    s.SetSslEnable(true);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ListenPort));
    s.Connect();
    int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) std::abort();
    auto clientTookAll = [&] {
        resume();
        return closed > 0 || FuzzClientTookAll(s.HSocket());
    };

    std::string sent;
    bool broken = false;
    std::size_t pos = 1;
    if (rawHandshake) {
        FeedPieces(
            fd, Data, pos, Size, [&] { return closed > 0; }, clientTookAll);
    } else {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        // Each record goes out at once, not held back for the client's delayed ack.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL* server = SSL_new(ServerContext);
        if (server == nullptr || SSL_set_fd(server, fd) != 1) std::abort();
        SSL_set_max_proto_version(server, tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
        SSL_set_accept_state(server);
        bool serverDone = false;
        Turn([&] {
            if (!serverDone) {
                int rc = SSL_do_handshake(server);
                int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(server, rc);
                if (err != SSL_ERROR_NONE && err != SSL_ERROR_WANT_READ &&
                    err != SSL_ERROR_WANT_WRITE)
                    std::abort();
                serverDone = rc == 1;
            }
            return serverDone && connected > 0;
        });
        if (connectError != 0) std::abort();
        bool ended = false;
        while (pos + 1 < Size && !ended && !broken && closed == 0) {
            const std::uint8_t op = Data[pos] % 8;
            const std::size_t len = std::min<std::size_t>(Data[pos + 1], Size - pos - 2);
            const std::uint8_t* bytes = Data + pos + 2;
            pos += 2 + len;
            switch (op) {
                case 4:  // bytes outside any record
                    broken = len > 0;
                    if (broken && send(fd, bytes, len, MSG_NOSIGNAL) < 0) std::abort();
                    break;
                case 5:
                    if (tls12)
                        SSL_renegotiate(server);  // refused by the client, which reads on
                    else
                        SSL_key_update(server, SSL_KEY_UPDATE_REQUESTED);
                    SSL_do_handshake(server);
                    break;
                case 6:
                    SSL_shutdown(server);
                    ended = true;
                    break;
                case 7:
                    pausing = !pausing;
                    break;
                default:
                    if (len > 0 &&
                        SSL_write(server, bytes, static_cast<int>(len)) != static_cast<int>(len))
                        std::abort();
                    sent.append(reinterpret_cast<const char*>(bytes), len);
                    break;
            }
            // Everything sent was taken off the socket; in line mode a line without its end
            // waits for the close.
            const std::size_t lineEnd = sent.rfind('\n');
            const std::size_t whole =
                lineMode ? (lineEnd == std::string::npos ? 0 : lineEnd + 1) : sent.size();
            if (!broken) Turn([&] { return clientTookAll() && received.size() >= whole; });
        }
        SSL_free(server);
    }
    FuzzServerClose(fd, reset);
    Turn([&] {
        resume();
        return closed > 0;
    });
    TEventLoop::Current().ProcessPending();
    if (closed != 1 || connected != 1 || s.State() != wsClosed) std::abort();
    if (rawHandshake && connectError == 0) std::abort();
    if (received.size() > sent.size() || sent.compare(0, received.size(), received) != 0)
        std::abort();
    // A reset may take with it what the client had not read yet: in line mode an unfinished
    // line cannot be seen to have been taken before it.
    if (!rawHandshake && !broken && !(reset && lineMode) && received != sent) std::abort();
    if (!rawHandshake && !broken && !reset && closeError != 0) std::abort();
    return 0;
}
