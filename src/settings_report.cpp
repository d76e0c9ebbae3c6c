#include "settings_report.h"

#include "link_settings.h"
#include "output.h"

#include <cstdio>
#include <cstring>

// What the settings say about the trouble the report before names.
static void narrowedAdvice(const CanSettings &settings, char *advice, size_t size) {
    advice[0] = '\0';
    bool busOff = settings.stateKnown && settings.state == CAN_STATE_BUS_OFF;
    if (busOff && settings.restartMillisecondsKnown && settings.restartMilliseconds == 0) {
        snprintf(advice, size,
                 ": with restart-ms 0 it stays bus-off until someone restarts it "
                 "(ip link set can0 type can restart)");
        return;
    }
    if (busOff && settings.restartMillisecondsKnown) {
        snprintf(advice, size, ": it restarts by itself %u ms after a bus-off",
                 settings.restartMilliseconds);
        return;
    }
    uint16_t transmitErrorsAtStart = startupSettingsRead() && startupSettings().errorCountersKnown
                                         ? startupSettings().transmitErrors
                                         : 0;
    if (settings.errorCountersKnown && settings.transmitErrors > transmitErrorsAtStart &&
        settings.receiveErrors == 0) {
        snprintf(advice, size,
                 ": transmit errors rise while receive errors stay at 0: no node "
                 "acknowledges its frames (the board is off, unplugged or resetting)");
    }
}

void reportSettings(const CanSettings &settings) {
    if (!settings.kindKnown || settings.kind != canController) {
        return;
    }
    // Cut to fit, if ever: the line is NUL-terminated either way.
    char line[384];
    formatCanSettings(settings, line, sizeof(line));
    char advice[160];
    narrowedAdvice(settings, advice, sizeof(advice));
    reportFormat("%s%s\n", line, advice);
}

void reportCanSettings() {
    CanSettings settings;
    if (!readCurrentSettings(&settings)) {
        return;
    }
    reportSettings(settings);
}
