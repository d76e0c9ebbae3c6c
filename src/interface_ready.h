// Whether can0 can carry an upload, asked before the board is told anything: an interface that
// is up, carries CAN FD frames, and has a controller that can send and acknowledge.
#pragma once

#include "link_settings.h"

#include <net/if.h>

// Checks can0 (socket bound to it, ifr naming it) and reads its CAN settings (see
// link_settings). Reports what stands in the way and returns false: CAN FD off, down, bus-off,
// listen-only, loopback or one-shot. A controller that is error-passive or warns of errors, or
// presumes acknowledgements, gets one line, and the run goes on.
bool interfaceReady(int socket, ifreq *ifr);

// What the settings read at start-up allow: false, after a report, for a controller that is
// bus-off, listen-only, in loopback or one-shot; one line for one that is error-passive, warns
// of errors or presumes acknowledgements.
bool settingsAllowAnUpload(const CanSettings &settings);
