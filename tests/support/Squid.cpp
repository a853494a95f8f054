#include "tests/support/Squid.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

TSquid::~TSquid() {
    Process.Stop();
    // Its shared-memory segments are named after the service name given at start.
    std::error_code ignored;
    for (const char* part : {"metadata", "queues", "readers"})
        std::filesystem::remove("/dev/shm/" + ServiceName + "-cf__" + part + ".shm", ignored);
}

// squid cannot listen on port 0 nor take over a socket. Success is squid itself listening on
// the port, never just any answer.
bool TSquid::Start(const TSquidConfig& Config) {
    static std::atomic<int> started{0};
    ServiceName = "sorlentest" + std::to_string(getpid()) + "n" + std::to_string(++started);
    FPort = StartOnFreshPort([&](int Port) {
        if (StartOn(Port, Config)) return true;
        Process.Stop();
        return false;
    });
    return FPort != 0;
}

bool TSquid::StartOn(int Port, const TSquidConfig& Config) {
    const std::string& d = Folder.Path;
    std::string user;
    if (geteuid() == 0) user = getpwnam("proxy") ? "proxy" : "nobody";
    Folder.Write("squid.conf",
                 "http_port 127.0.0.1:" + std::to_string(Port) + Config.PortOptions + "\n" +
                     Config.Lines +
                     "\nhttp_access allow all\ncache deny all\ncache_mem 8 MB\n"
                     "access_log none\ncache_log " +
                     d + "/cache.log\npid_filename " + d + "/squid.pid\ncoredump_dir " + d +
                     "\nshutdown_lifetime 0 seconds\ndns_nameservers 127.0.0.1\n"
                     "pinger_enable off\n" +
                     (user.empty() ? std::string() : "cache_effective_user " + user + "\n"));
    return Process.Start({"/usr/sbin/squid", "-N", "-n", ServiceName, "-f", d + "/squid.conf"}) &&
           WaitListening(Process, Port);
}

namespace {

const char* const kAuthRequired = "acl authed proxy_auth REQUIRED\nhttp_access deny !authed\n";

}  // namespace

TSquidConfig SquidBasicAuth(const TSquid& Squid, const std::string& PasswordFile) {
    Squid.Write("passwd", PasswordFile);
    return {.Lines = "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
                     Squid.File("passwd") + "\nauth_param basic children 1\n" + kAuthRequired};
}

TSquidConfig SquidNtlmAuth() {
    return {.Lines = std::string("auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n"
                                 "auth_param ntlm children 1\n") +
                     kAuthRequired};
}
