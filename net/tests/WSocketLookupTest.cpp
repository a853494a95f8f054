// Host lookups: answered inside the call for dotted addresses, from a helper thread for names;
// replaced, cancelled, failed, and abandoned by a destroyed socket.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/NetTestSupport.h"
#include "tests/support/Loopback.h"
#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

namespace {

// Waits for every lookup thread started since ThreadsBefore to end, then handles what they
// posted: a stale answer would have been delivered by now. A sanitizer's own thread can keep
// the count up, so the wait is bounded and not an expectation of its own.
void LookupsFinished(int ThreadsBefore) {
    ThreadsBackTo(ThreadsBefore, 3000);
    EXPECT_TRUE(DrainLoop());
}

struct TLookupLog {
    std::vector<int> Done;
    void Attach(TCustomWSocket& S) {
        S.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
    }
};

TEST(WSocketLookup, DottedAddressIsAnsweredInsideTheCall) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    s.DnsLookup(" 10.0.0.1 ");
    EXPECT_EQ(log.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "10.0.0.1");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"10.0.0.1"});
    // An IPv6 literal, in brackets as addresses write it, the same way.
    s.DnsLookup("[0:0::1]");
    EXPECT_EQ(log.Done, (std::vector<int>{0, 0}));
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"::1"});
}

TEST(WSocketLookup, NameIsAnsweredLaterFromTheLoop) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    s.DnsLookup("localhost");
    EXPECT_TRUE(log.Done.empty());
    ASSERT_TRUE(WaitFor([&] { return !log.Done.empty(); }));
    EXPECT_EQ(log.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), s.DnsResult());
}

TEST(WSocketLookup, FailedNamesEndWithAnErrorEvent) {
    struct Row {
        std::string Name;
        int Error;  // 0: any non-zero error
    } rows[] = {{kUnknownHost, 11001}, {std::string(300, 'a'), 0}, {"bad..name", 0}};
    for (const Row& r : rows) {
        TWSocket s;
        TLookupLog log;
        log.Attach(s);
        s.DnsLookup(r.Name);
        ASSERT_TRUE(WaitFor([&] { return !log.Done.empty(); })) << r.Name;
        ASSERT_EQ(log.Done.size(), 1u);
        if (r.Error != 0) {
            EXPECT_EQ(log.Done[0], r.Error);
        } else {
            EXPECT_NE(log.Done[0], 0) << r.Name;
        }
        EXPECT_EQ(s.DnsResult(), "");
        EXPECT_TRUE(s.DnsResultList().empty());
    }
}

TEST(WSocketLookup, SecondLookupReplacesThePendingOne) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    const int threads = ThreadCount();
    s.DnsLookup("localhost");
    s.DnsLookup(kUnknownHost);
    ASSERT_TRUE(WaitFor([&] { return !log.Done.empty(); }));
    LookupsFinished(threads);
    EXPECT_EQ(log.Done, std::vector<int>{11001});

    log.Done.clear();
    s.DnsLookup("localhost");
    s.DnsLookup("127.0.0.2");  // dotted: answered at once, the name's answer is dropped
    LookupsFinished(threads);
    EXPECT_EQ(log.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.2");
}

TEST(WSocketLookup, CancelReportsInterruptedOnceAndNothingElse) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    s.CancelLookup();  // nothing pending: nothing happens
    EXPECT_TRUE(log.Done.empty());
    const int threads = ThreadCount();
    s.DnsLookup("localhost");
    s.CancelLookup();
    EXPECT_EQ(log.Done, std::vector<int>{10004});
    LookupsFinished(threads);
    EXPECT_EQ(log.Done, std::vector<int>{10004});
}

TEST(WSocketLookup, DestroyingWithALookupInFlightDeliversNothing) {
    TLookupLog log;
    const int threads = ThreadCount();
    for (int i = 0; i < 20; ++i) {
        auto s = std::make_unique<TWSocket>();
        log.Attach(*s);
        s->DnsLookup(i % 2 ? "localhost" : kUnknownHost);
        // Some answers are already queued, not yet dispatched, when the socket goes.
        if (i % 4 == 0) ThreadsBackTo(threads, 3000);
        s.reset();
    }
    LookupsFinished(threads);
    EXPECT_TRUE(log.Done.empty());
}

TEST(WSocketLookup, AbortCancelsThePendingLookup) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    const int threads = ThreadCount();
    s.DnsLookup("localhost");
    s.Abort();
    LookupsFinished(threads);
    EXPECT_EQ(log.Done, std::vector<int>{10004});
}

TEST(WSocketLookup, ReverseLookupFindsTheLoopbackName) {
    TWSocket s;
    TLookupLog log;
    log.Attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(WaitFor([&] { return !log.Done.empty(); }));
    EXPECT_EQ(log.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "localhost");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"localhost"});
}

TEST(WSocketLookup, LookupsOnAWorkerThreadAnswerOnThatThread) {
    std::thread::id answeredOn;
    std::thread::id worker;
    std::thread([&] {
        worker = std::this_thread::get_id();
        TWSocket s;
        bool done = false;
        s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) {
            answeredOn = std::this_thread::get_id();
            done = true;
        };
        s.DnsLookup("localhost");
        WaitFor([&] { return done; });
    }).join();
    EXPECT_EQ(answeredOn, worker);
}

}  // namespace

namespace {

// In a child with a mount namespace of its own, /etc/hosts names "both.test" for ::1 and
// 127.0.0.1; only IPv4 listens. Exit code 0: IPv6 came first, was refused, and IPv4 won.
int BothFamiliesChild(const std::string& Hosts, int Port) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(Hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        return 2;
    TWSocket s;
    bool looked = false;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { looked = true; };
    s.DnsLookup("both.test");
    if (!WaitFor([&] { return looked; }) ||
        s.DnsResultList() != std::vector<std::string>{"::1", "127.0.0.1"})
        return 3;
    int connected = -1;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) { connected = E; };
    s.SetAddr(s.DnsResult());
    s.SetPort(std::to_string(Port));
    s.Connect();
    if (!WaitFor([&] { return connected >= 0; }) || connected != 0) return 4;
    return s.PeerAddr() == "127.0.0.1" ? 0 : 5;
}

}  // namespace

TEST(WSocketLookup, NameOfBothFamiliesFallsBackFromRefusedIpv6ToIpv4) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with its own hosts";
    int port = 0;
    int listener = ListenOnLoopback(port);
    ASSERT_GE(listener, 0);
    TTempFolder folder;
    folder.Write("hosts", "::1 both.test\n127.0.0.1 both.test\n");
    pid_t child = fork();
    if (child == 0) _exit(BothFamiliesChild(folder.File("hosts"), port));
    int status = 0;
    waitpid(child, &status, 0);
    close(listener);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
