// Program-wide state (Options, ProgramFolder, AppStarted) and the settings file Settings.ini.
// UI thread only: workers receive copies of what they need and never read these.
#pragma once

#include <cstdint>
#include <string>

#include "settings/TOptions.h"
#include "settings/TProxy.h"

extern TOptions Options;
extern std::string ProgramFolder;  // folder of the program file, ending in "/"
extern bool AppStarted;            // set once the start-up sequence has created the windows

constexpr const char* kSettingsSection = "Options";
constexpr const char* kSettingsFileName = "Settings.ini";

// Module initialisation (runs before main; tests call it again to reset): default options with
// SaveTo the documents folder, ProgramFolder from the running executable, AppStarted false.
void InitSettingsModule();

// Settings.ini in ProgramFolder when that folder is writable (a portable copy such as the build
// tree), otherwise $XDG_CONFIG_HOME/sorlen/Settings.ini so an installed copy can still save.
std::string SettingsFilePath();

// What loading found besides the options.
struct TSettingsLoad {
    // The file could not be read as settings (binary, UTF-16, no options section): Options was
    // left as it is and the file was not taken.
    bool Unreadable = false;
    // Where that file was moved so that saving cannot overwrite it; empty when it could not be
    // moved, and then it stays in place and saving fails rather than replace it.
    std::string KeptAs;
};

// Fills Options from the settings file; a missing file or section leaves Options as it is.
TSettingsLoad LoadSettings();
// Writes every option; false when the file cannot be written (or an unreadable file could not
// be moved out of the way). Options is never changed.
bool SaveSettings();

// The proxy part of Options for a request: the HTTP proxy when UseProxy is on, the SOCKS server
// when UseSocks is on; the rest empty.
TProxy ProxyFromOptions(const TOptions& Options);
// The stall limit of a download request in milliseconds, from StallTimeout's seconds.
int32_t StallMsFromOptions(const TOptions& Options);
