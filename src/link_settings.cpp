#include "link_settings.h"

#include <cerrno>
#include <cstring>

static int watchedIndex = -1;
static CanSettings settingsAtStart;
static bool settingsAtStartRead = false;
static int settingsAtStartError = 0;

void watchSettingsOf(int interfaceIndex) {
    watchedIndex = interfaceIndex;
}

bool readStartupSettings() {
    memset(&settingsAtStart, 0, sizeof(settingsAtStart));
    settingsAtStartRead = readCurrentSettings(&settingsAtStart);
    settingsAtStartError = settingsAtStartRead ? 0 : errno;
    return settingsAtStartRead;
}

bool startupSettingsRead() {
    return settingsAtStartRead;
}

int startupSettingsError() {
    return settingsAtStartError;
}

const CanSettings &startupSettings() {
    return settingsAtStart;
}

bool readCurrentSettings(CanSettings *settings) {
    memset(settings, 0, sizeof(*settings));
    if (watchedIndex < 0) {
        errno = ENODEV;
        return false;
    }
    return readCanSettings(watchedIndex, settings);
}
