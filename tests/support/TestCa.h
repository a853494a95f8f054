// A private certificate authority for TLS tests: a CA and server certificates made with the
// openssl command in a temporary folder, the nginx lines that serve one, a scope that makes
// the program trust the CA through the same variable the system trust store honours, and the
// server's side of TLS for scripted peers. Test thread only (the server side: the scripted
// server's); the objects own their folder, the environment change and their OpenSSL session.
#pragma once

#include <string>

#include "tests/support/TempFolder.h"

// PEM files of a server certificate and its key; empty when openssl failed.
struct TTestCert {
    std::string Cert;
    std::string Key;
};

class TTestCa {
public:
    explicit TTestCa(const std::string& CommonName = "Sorlen Test CA");
    TTestCa(const TTestCa&) = delete;
    TTestCa& operator=(const TTestCa&) = delete;

    bool Ok() const { return FOk; }
    // The CA certificate, for SSL_CERT_FILE.
    std::string CaFile() const { return Folder.File("ca.pem"); }
    // A server certificate signed by this CA for AltNames ("IP:127.0.0.1,DNS:localhost"),
    // valid from now for Days; a negative count makes one that has expired already.
    TTestCert Issue(const std::string& AltNames, int Days = 30);
    // The same at the end of a chain of Intermediates CA certificates under this CA; Cert holds
    // the server's certificate and then the intermediates, as a server sends them.
    TTestCert IssueChain(const std::string& AltNames, int Intermediates);

private:
    // Signs the request Csr as Subject with the certificate and key of its issuer.
    bool Sign(const std::string& Csr, const std::string& Subject, const std::string& IssuerCert,
              const std::string& IssuerKey, const std::string& Extensions, int Days,
              const std::string& Out);
    TTempFolder Folder;
    int FSerial = 1;
    bool FOk = false;
};

// Lines inside nginx's server { } that serve Cert (the listen line needs " ssl").
std::string NginxTlsLines(const TTestCert& Cert);

struct ssl_st;

// The server's side of a TLS connection on a blocking descriptor (TLS 1.2 at most, the last
// version that renegotiates), for peers that do what nginx will not. Every call gives up after
// ten seconds without an answer. The caller keeps the descriptor.
class TTlsServerSide {
public:
    // Runs the handshake; Ok() tells whether it finished.
    TTlsServerSide(int Fd, const TTestCert& Cert);
    ~TTlsServerSide();
    TTlsServerSide(const TTlsServerSide&) = delete;
    TTlsServerSide& operator=(const TTlsServerSide&) = delete;

    bool Ok() const { return FOk; }
    // Reads up to the blank line that ends a request header; "" when the session broke first.
    std::string ReadHeader();
    bool Write(const std::string& Bytes);
    // Asks the client for a new handshake and reads its answer: false when it was refused (the
    // session is over then).
    bool Renegotiate();

private:
    ssl_st* Ssl = nullptr;
    bool FOk = false;
};

// SSL_CERT_FILE names File while the object lives; the earlier value comes back after.
class TTrustedCa {
public:
    explicit TTrustedCa(const std::string& File);
    ~TTrustedCa();
    TTrustedCa(const TTrustedCa&) = delete;
    TTrustedCa& operator=(const TTrustedCa&) = delete;

private:
    bool FHadOld = false;
    std::string FOld;
};
