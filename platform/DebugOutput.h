// The platform's debug output: the one trace channel the program has (no log file).
// Any thread may call it; it writes only when SORLEN_DEBUG is set in the environment.
#pragma once

#include <string>

// Writes one line of trace text to standard error when SORLEN_DEBUG is set.
void DebugOutput(const std::string& text);
