// A forked child with namespaces of its own, for tests that need their own /etc/hosts (names of
// both address families) or their own loopback device (a firewall rule that touches nothing
// outside). Needs root; test thread only, while no other thread of the test runs.
#pragma once

#include <functional>
#include <string>

// The child's exit code when the namespaces could not be made (not root, no support).
constexpr int kNoNamespace = 125;

// Runs Body in a child whose mount namespace shows HostsFile as /etc/hosts and, with
// OwnNetwork, in a network namespace of its own with its loopback device up. Gives Body's
// result (0..124), kNoNamespace, or -1 when the child died.
int RunInNamespaces(const std::string& HostsFile, bool OwnNetwork,
                    const std::function<int()>& Body);
