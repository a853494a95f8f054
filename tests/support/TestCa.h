// A private certificate authority for TLS tests: a CA and server certificates made with the
// openssl command in a temporary folder, the nginx lines that serve one, and a scope that makes
// the program trust the CA through the same variable the system trust store honours. Test
// thread only; the objects own their folder and the environment change.
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

private:
    TTempFolder Folder;
    int FSerial = 1;
    bool FOk = false;
};

// Lines inside nginx's server { } that serve Cert (the listen line needs " ssl").
std::string NginxTlsLines(const TTestCert& Cert);

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
