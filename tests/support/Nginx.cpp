#include "tests/support/Nginx.h"

#include <unistd.h>

#include <chrono>

#include "tests/support/Loopback.h"

namespace {

// Sends a request and waits for any answer: nginx is up once it answers (even a 400 from a TLS
// port, or a 401 under auth_basic counts).
bool Answers(int Port, bool Ipv6, int TimeoutMs) {
    int fd = ConnectLoopback(Port, Ipv6);
    if (fd < 0) return false;
    WriteAll(fd, "GET / HTTP/1.0\r\n\r\n");
    char byte;
    bool answered = WaitReadable(fd, TimeoutMs) && read(fd, &byte, 1) == 1;
    close(fd);
    return answered;
}

}  // namespace

TNginx::~TNginx() {
    Process.Stop();
}

bool TNginx::Start(const TNginxConfig& Config) {
    FIpv6 = Config.Ipv6;
    FPort = 0;
    int listener = FIpv6 ? ListenOnLoopback6(FPort) : ListenOnLoopback(FPort);
    if (listener < 0) return false;
    const std::string& d = Folder.Path;
    Folder.Write("html/.keep", "");
    // Started as root, workers would run as nobody and could not read a test's private folder.
    const std::string user = geteuid() == 0 ? "user root;\n" : "";
    Folder.Write("nginx.conf",
                 user + "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " +
                     d + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                     "  access_log off;\n  sendfile on;\n  client_body_temp_path " + d +
                     "/body;\n  proxy_temp_path " + d + "/proxy;\n  fastcgi_temp_path " + d +
                     "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n  scgi_temp_path " + d +
                     "/scgi;\n" + Config.Http + "\n  server {\n    listen " +
                     (FIpv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(FPort) +
                     Config.ListenOptions + ";\n    root " +
                     (Config.Root.empty() ? d + "/html" : Config.Root) + ";\n" + Config.Server +
                     "\n  }\n}\n");
    // nginx takes over an inherited listening socket named in NGINX when its address matches
    // the listen line. Its single-process mode does not survive that, hence a master process.
    TProcessOptions options;
    options.Env = {"NGINX=3;"};
    options.PassFd = listener;
    const bool started = Process.Start(
        {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, options);
    // Once our copy is closed, a connection to a dead nginx is refused instead of hanging.
    close(listener);
    return started && Answers(FPort, FIpv6, 10000);
}
