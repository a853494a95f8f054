#include "tests/support/TestCa.h"

#include <cstdlib>
#include <vector>

#include "tests/support/Process.h"

namespace {

bool Run(const std::vector<std::string>& Argv) {
    TProcess p;
    return p.Start(Argv) && p.Succeeds(30000);
}

// P-256 keys: quick to make, and every TLS version takes them.
std::vector<std::string> NewKeyArgs() {
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
}

}  // namespace

TTestCa::TTestCa(const std::string& CommonName) {
    std::vector<std::string> argv = {"openssl", "req", "-x509"};
    for (const std::string& a : NewKeyArgs()) argv.push_back(a);
    for (const std::string& a :
         {std::string("-keyout"), Folder.File("ca.key"), std::string("-out"), Folder.File("ca.pem"),
          std::string("-days"), std::string("3650"), std::string("-subj"), "/CN=" + CommonName})
        argv.push_back(a);
    FOk = Run(argv);
}

TTestCert TTestCa::Issue(const std::string& AltNames, int Days) {
    std::string base = Folder.File("server" + std::to_string(++FSerial));
    Folder.Write("ext" + std::to_string(FSerial),
                 "subjectAltName=" + AltNames + "\nextendedKeyUsage=serverAuth\n");
    std::vector<std::string> req = {"openssl", "req"};
    for (const std::string& a : NewKeyArgs()) req.push_back(a);
    for (const std::string& a : {std::string("-keyout"), base + ".key", std::string("-out"),
                                 base + ".csr", std::string("-subj"), std::string("/CN=server")})
        req.push_back(a);
    if (!FOk || !Run(req) ||
        !Run({"openssl", "x509", "-req", "-in", base + ".csr", "-CA", CaFile(), "-CAkey",
              Folder.File("ca.key"), "-set_serial", std::to_string(FSerial), "-days",
              std::to_string(Days), "-extfile", Folder.File("ext" + std::to_string(FSerial)),
              "-out", base + ".pem"}))
        return {};
    return {base + ".pem", base + ".key"};
}

std::string NginxTlsLines(const TTestCert& Cert) {
    return "ssl_certificate " + Cert.Cert + ";\nssl_certificate_key " + Cert.Key + ";\n";
}

TTrustedCa::TTrustedCa(const std::string& File) {
    if (const char* old = std::getenv("SSL_CERT_FILE")) {
        FHadOld = true;
        FOld = old;
    }
    setenv("SSL_CERT_FILE", File.c_str(), 1);
}

TTrustedCa::~TTrustedCa() {
    if (FHadOld)
        setenv("SSL_CERT_FILE", FOld.c_str(), 1);
    else
        unsetenv("SSL_CERT_FILE");
}
