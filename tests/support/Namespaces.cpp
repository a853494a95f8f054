#include "tests/support/Namespaces.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

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

int Child(const std::string& HostsFile, bool OwnNetwork, const std::function<int()>& Body) {
    if (unshare(CLONE_NEWNS | (OwnNetwork ? CLONE_NEWNET : 0)) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(HostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
        (OwnNetwork && !LoopbackUp()))
        return kNoNamespace;
    return Body();
}

}  // namespace

int RunInNamespaces(const std::string& HostsFile, bool OwnNetwork,
                    const std::function<int()>& Body) {
    if (geteuid() != 0) return kNoNamespace;
    const pid_t child = fork();
    if (child == 0) _exit(Child(HostsFile, OwnNetwork, Body));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
