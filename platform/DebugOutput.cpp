// Debug output on standard error, switched on by the environment; see DebugOutput.h.
#include "platform/DebugOutput.h"

#include <cstdio>
#include <cstdlib>

void DebugOutput(const std::string& text) {
    if (std::getenv("SORLEN_DEBUG")) std::fprintf(stderr, "%s\n", text.c_str());
}
