// Host lookups: answered inside the call for dotted addresses, from a helper thread for names;
// replaced, cancelled, failed, and abandoned by a destroyed socket; a name of both families
// connecting through the race of its addresses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/NetTestSupport.h"
#include "tests/support/Loopback.h"
#include "tests/support/Namespaces.h"
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

// "both.test" names ::1 and 127.0.0.1 (IPv6 first); IPv4 listens on the row's port, IPv6 may,
// and one family's packets to it may be dropped, so that its connect never completes.
struct TRaceRow {
    const char* Name;
    bool Listen6;
    const char* DropWith;  // the filter tool of the silent family, or nullptr
    const char* Winner;
};

}  // namespace

// Runs in namespaces of its own: the listeners are on its own loopback device, so the DROP rule
// touches nothing outside.
TEST(WSocketLookup, NameOfBothFamiliesRacesIpv6AheadOfIpv4) {
    if (!InsideNamespaces()) {
        const int code = RerunInNamespaces("::1 both.test\n127.0.0.1 both.test\n", true);
        if (code == kNoNamespace) GTEST_SKIP() << "needs root and namespaces of its own";
        EXPECT_EQ(code, 0) << "the run in namespaces failed";
        return;
    }
    const TRaceRow rows[] = {
        {"IPv6 refused: IPv4 at once", false, nullptr, "127.0.0.1"},
        {"IPv6 silent: IPv4 after the head start", true, "ip6tables", "127.0.0.1"},
        {"IPv4 silent: IPv6 first and alone", true, "iptables", "::1"},
    };
    for (const TRaceRow& row : rows) {
        SCOPED_TRACE(row.Name);
        int port = 0;
        const int l4 = ListenOnLoopback(port);
        const int l6 = row.Listen6 ? ListenOnLoopback6(port) : -1;
        ASSERT_TRUE(l4 >= 0 && (l6 >= 0 || !row.Listen6));
        if (row.DropWith != nullptr &&
            std::system((std::string(row.DropWith) + " -w -A INPUT -p tcp --dport " +
                         std::to_string(port) + " -j DROP 2>/dev/null")
                            .c_str()) != 0) {
            std::cerr << row.Name << ": skipped, " << row.DropWith << " does not work here\n";
            continue;
        }
        TWSocket s;
        bool looked = false;
        s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { looked = true; };
        s.DnsLookup("both.test");
        ASSERT_TRUE(WaitFor([&] { return looked; }));
        ASSERT_EQ(s.DnsResultList(), (std::vector<std::string>{"::1", "127.0.0.1"}));
        int connected = -1;
        s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) { connected = E; };
        s.SetAddr(s.DnsResult());
        s.SetPort(std::to_string(port));
        const int descriptors = OpenDescriptorCount();
        s.Connect();
        // A silent address left alone would take the kernel's two minutes to give up.
        ASSERT_TRUE(WaitFor([&] { return connected >= 0; }));
        EXPECT_EQ(connected, 0);
        EXPECT_EQ(s.PeerAddr(), row.Winner);
        // The losers are closed: the winner is the one descriptor more.
        EXPECT_EQ(OpenDescriptorCount(), descriptors + 1);
        s.Close();
        close(l4);
        if (l6 >= 0) close(l6);
    }
}
