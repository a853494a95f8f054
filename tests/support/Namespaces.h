// Namespaces of a test's own, for tests that need their own /etc/hosts (names of both address
// families) or their own loopback device (a firewall rule that touches nothing outside). The
// test runs again in a fresh copy of the test binary inside them: a copy, not a fork, since the
// test's threads so far must not come along (ThreadSanitizer refuses new threads after a fork of
// a threaded process). Needs root. In a test:
//   if (!InsideNamespaces()) { check RerunInNamespaces(...) and return; }  ... the test proper
#pragma once

#include <string>

// RerunInNamespaces' answer when the namespaces could not be made (not root, no support).
constexpr int kNoNamespace = 125;

// True in the copy that RerunInNamespaces started.
bool InsideNamespaces();

// Runs the current test again in a copy of this binary whose mount namespace shows Hosts (the
// file's text) as /etc/hosts and, with OwnNetwork, in a network namespace of its own with its
// loopback device up. The copy's exit code (0: the test passed there), kNoNamespace, or -1 when
// it died.
int RerunInNamespaces(const std::string& Hosts, bool OwnNetwork);
