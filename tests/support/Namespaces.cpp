#include "tests/support/Namespaces.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/TempFolder.h"

extern char** environ;

namespace {

constexpr const char* kMarker = "SORLEN_IN_NAMESPACES=1";

bool LoopbackUp() {
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    const int ctl = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool up = ctl >= 0 && ioctl(ctl, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags |= IFF_UP;
    up = up && ioctl(ctl, SIOCSIFFLAGS, &lo) == 0;
    if (ctl >= 0) close(ctl);
    return up;
}

}  // namespace

bool InsideNamespaces() {
    const char* v = std::getenv("SORLEN_IN_NAMESPACES");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

int RerunInNamespaces(const std::string& Hosts, bool OwnNetwork) {
    if (geteuid() != 0) return kNoNamespace;
    TTempFolder folder;
    folder.Write("hosts", Hosts);
    const std::string hosts = folder.File("hosts");
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    // Everything the child needs is made before the fork: it only calls what is safe there.
    std::vector<char*> argv = {const_cast<char*>("test"), const_cast<char*>(filter.c_str()),
                               nullptr};
    std::vector<char*> env = {const_cast<char*>(kMarker)};
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS | (OwnNetwork ? CLONE_NEWNET : 0)) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            (OwnNetwork && !LoopbackUp()))
            _exit(kNoNamespace);
        execve("/proc/self/exe", argv.data(), env.data());
        _exit(kNoNamespace);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
