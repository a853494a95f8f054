#include "tests/support/SocksServers.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

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

bool TSshSocks::Start(const std::string& FarName) {
    const passwd* me = getpwuid(geteuid());
    if (geteuid() != 0 || me == nullptr) return false;
    for (const char* key : {"host_key", "user_key"}) {
        TProcess keygen;
        if (!keygen.Start(
                {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", Folder.File(key)}) ||
            !keygen.Succeeds(20000))
            return false;
    }
    Folder.Write("authorized_keys", ReadFile(Folder.File("user_key.pub")));
    Folder.Write("hosts", "127.0.0.1 localhost " + FarName + "\n");
    // sshd insists on its privilege separation folder, which only its service start makes.
    std::error_code ignored;
    std::filesystem::create_directories("/run/sshd", ignored);
    const int sshPort = StartOnFreshPort([&](int Port) {
        Folder.Write("sshd_config", "Port " + std::to_string(Port) +
                                        "\nListenAddress 127.0.0.1\nHostKey " +
                                        Folder.File("host_key") + "\nAuthorizedKeysFile " +
                                        Folder.File("authorized_keys") +
                                        "\nStrictModes no\nUsePAM no\nPermitRootLogin yes\n"
                                        "PasswordAuthentication no\nAllowTcpForwarding yes\n"
                                        "PidFile none\n");
        const std::string run = "mount --bind " + Folder.File("hosts") +
                                " /etc/hosts && exec /usr/sbin/sshd -D -e -f " +
                                Folder.File("sshd_config");
        if (Sshd.Start({"unshare", "--mount", "--propagation", "private", "sh", "-c", run}) &&
            WaitListening(Sshd, Port))
            return true;
        Sshd.Stop();
        return false;
    });
    if (sshPort == 0) return false;
    FPort = StartOnFreshPort([&](int Port) {
        if (Client.Start({"ssh", "-F", "/dev/null", "-N", "-D", "127.0.0.1:" + std::to_string(Port),
                          "-p", std::to_string(sshPort), "-i", Folder.File("user_key"), "-o",
                          "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
                          "UserKnownHostsFile=/dev/null", "-o", "ExitOnForwardFailure=yes",
                          std::string(me->pw_name) + "@127.0.0.1"}) &&
            WaitListening(Client, Port))
            return true;
        Client.Stop();
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
