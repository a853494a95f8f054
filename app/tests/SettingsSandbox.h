// A private home for a window test: HOME, XDG_CONFIG_HOME and XDG_STATE_HOME point into a
// temporary folder, the settings module starts afresh, and Settings.ini and the journal of
// unfinished downloads are read and written there. Test thread only.
#pragma once

#include <cstdlib>

#include "settings/uSettings.h"
#include "tests/support/TempFolder.h"

struct TSettingsSandbox {
    TSettingsSandbox() {
        setenv("HOME", Home.Path.c_str(), 1);
        setenv("XDG_CONFIG_HOME", Home.File("cfg").c_str(), 1);
        setenv("XDG_STATE_HOME", Home.File("state").c_str(), 1);
        InitSettingsModule();
        ProgramFolder = Home.Path + "/";
    }

    TTempFolder Home;
};
