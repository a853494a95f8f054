#include "tests/support/SocksServers.h"

#include <unistd.h>

// Neither server can listen on port 0 or take over a socket (see StartOnFreshPort).
bool TDante::Start() {
    FPort = StartOnFreshPort([&](int Port) {
        // Outgoing connections leave from 127.0.0.1, so only loopback destinations are reached.
        Folder.Write("danted.conf",
                     "logoutput: " + Folder.File("danted.log") +
                         "\ninternal: 127.0.0.1 port = " + std::to_string(Port) +
                         "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n" +
                         (geteuid() == 0 ? "user.unprivileged: nobody\n" : "") +
                         "client pass {\n    from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                         "socks pass {\n    from: 127.0.0.0/8 to: 127.0.0.0/8\n"
                         "    command: connect\n}\n");
        if (Process.Start({"/usr/sbin/danted", "-N", "1", "-f", Folder.File("danted.conf"), "-p",
                           Folder.File("danted.pid")}) &&
            WaitListening(Process, Port))
            return true;
        Process.Stop();
        return false;
    });
    return FPort != 0;
}

bool TMicrosocks::Start(const std::string& User, const std::string& Password) {
    FPort = StartOnFreshPort([&](int Port) {
        if (Process.Start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(Port),
                           "-b", "127.0.0.1", "-u", User, "-P", Password}) &&
            WaitListening(Process, Port))
            return true;
        Process.Stop();
        return false;
    });
    return FPort != 0;
}

::testing::AssertionResult TSocksRig::Start() {
    Nginx.Write("html/hello.txt", kSocksPage);
    if (!Nginx.Start()) return ::testing::AssertionFailure() << "nginx: " << Nginx.ErrorLog();
    if (!Dante.Start()) return ::testing::AssertionFailure() << "dante: " << Dante.Log();
    if (!Microsocks.Start("alice", "s3cret")) return ::testing::AssertionFailure() << "microsocks";
    return ::testing::AssertionSuccess();
}
