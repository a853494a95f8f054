#include "tests/support/TestCa.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

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

bool TTestCa::Sign(const std::string& Csr, const std::string& Subject,
                   const std::string& IssuerCert, const std::string& IssuerKey,
                   const std::string& Extensions, int Days, const std::string& Out) {
    const std::string ext = Folder.File("ext" + std::to_string(++FSerial));
    WriteFile(ext, Extensions);
    return Run({"openssl", "x509", "-req", "-in", Csr, "-subj", Subject, "-CA", IssuerCert,
                "-CAkey", IssuerKey, "-set_serial", std::to_string(FSerial), "-days",
                std::to_string(Days), "-extfile", ext, "-out", Out});
}

TTestCert TTestCa::Issue(const std::string& AltNames, int Days) {
    std::string base = Folder.File("server" + std::to_string(++FSerial));
    std::vector<std::string> req = {"openssl", "req"};
    for (const std::string& a : NewKeyArgs()) req.push_back(a);
    for (const std::string& a : {std::string("-keyout"), base + ".key", std::string("-out"),
                                 base + ".csr", std::string("-subj"), std::string("/CN=server")})
        req.push_back(a);
    if (!FOk || !Run(req) ||
        !Sign(base + ".csr", "/CN=server", CaFile(), Folder.File("ca.key"),
              "subjectAltName=" + AltNames + "\nextendedKeyUsage=serverAuth\n", Days,
              base + ".pem"))
        return {};
    return {base + ".pem", base + ".key"};
}

TTestCert TTestCa::IssueChain(const std::string& AltNames, int Intermediates) {
    // Every intermediate takes the server's key: making keys is the slow part.
    TTestCert leaf = Issue(AltNames);
    if (leaf.Cert.empty()) return {};
    const std::string csr = leaf.Cert.substr(0, leaf.Cert.size() - 4) + ".csr";
    std::string issuer = CaFile(), issuerKey = Folder.File("ca.key"), chain;
    for (int i = 1; i <= Intermediates; ++i) {
        const std::string out = Folder.File("intermediate" + std::to_string(i) + ".pem");
        if (!Sign(csr, "/CN=Intermediate " + std::to_string(i), issuer, issuerKey,
                  "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n", 30, out))
            return {};
        chain = ReadFile(out) + chain;
        issuer = out;
        issuerKey = leaf.Key;
    }
    const std::string pem = Folder.File("chain" + std::to_string(++FSerial) + ".pem");
    if (!Sign(csr, "/CN=server", issuer, issuerKey,
              "subjectAltName=" + AltNames + "\nextendedKeyUsage=serverAuth\n", 30, pem))
        return {};
    WriteFile(pem, ReadFile(pem) + chain);
    return {pem, leaf.Key};
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

TTlsServerSide::TTlsServerSide(int Fd, const TTestCert& Cert) {
    timeval bound{10, 0};
    setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return;
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context, Cert.Cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, Cert.Key.c_str(), SSL_FILETYPE_PEM) == 1)
        Ssl = SSL_new(context);
    SSL_CTX_free(context);  // the session keeps its own reference
    FOk = Ssl != nullptr && SSL_set_fd(Ssl, Fd) == 1 && SSL_accept(Ssl) == 1;
}

TTlsServerSide::~TTlsServerSide() {
    SSL_free(Ssl);
}

std::string TTlsServerSide::ReadHeader() {
    std::string header;
    char c;
    while (FOk && !header.ends_with("\r\n\r\n")) {
        if (SSL_read(Ssl, &c, 1) != 1) return "";
        header += c;
    }
    return header;
}

bool TTlsServerSide::Write(const std::string& Bytes) {
    return FOk && SSL_write(Ssl, Bytes.data(), static_cast<int>(Bytes.size())) ==
                      static_cast<int>(Bytes.size());
}

bool TTlsServerSide::Renegotiate() {
    // The hello request goes out at once; the client's answer (its hello, or a refusal that
    // ends the session) is met by the peek.
    char c;
    return FOk && SSL_renegotiate(Ssl) == 1 && SSL_do_handshake(Ssl) == 1 &&
           SSL_peek(Ssl, &c, 1) == 1;
}
