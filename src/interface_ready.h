// Whether can0 can carry an upload, asked before the board is told anything: an interface that
// is up, carries CAN FD frames, and has a controller that can send and acknowledge.
#pragma once

#include "can_settings.h"

#include <net/if.h>

// Checks can0 (socket bound to it, ifr naming it, interfaceIndex its index) and reads its CAN
// settings. Reports what stands
// in the way and returns false: CAN FD off, down, bus-off, listen-only or loopback. A controller
// that is error-passive or warns of errors gets one line, and the run goes on.
bool interfaceReady(int socket, ifreq *ifr, int interfaceIndex);

// What the settings read at start-up allow: false, after a report, for a controller that is
// bus-off, listen-only or in loopback; one line for one that is error-passive or warns of errors.
bool settingsAllowAnUpload(const CanSettings &settings);

// What was read at start-up: whether it could be read (if not, the errno of the failure), and
// the settings.
bool startupSettingsRead();
int startupSettingsError();
const CanSettings &startupSettings();
