// Words for why a request failed, for the windows to show: the server's own status when it
// answered with one, otherwise the engine's reason (a refused connection, a name not found, a
// time-out, a cut body). Pure functions over a session's state, called on the session's thread
// while the session still exists (inside its OnDone, or while it is paused).
#pragma once

#include <string>

class THttpCli;

// "404 Not Found" for a server's error answer; the engine's reason phrase when the failure was
// not the server's answer; empty for a success answer (the failure was then on our side).
std::string DescribeFailure(const THttpCli& client);

// The host of the address the session asked last (after any relocation).
std::string FailureHost(const THttpCli& client);
