// can0's own settings and counters, named in a report: one line after it, so that the advice
// rests on what was read rather than on every cause at once. Only for a CAN controller: vcan has
// no settings, and an interface whose settings cannot be read gets no line.
#pragma once

#include "can_settings.h"

// Reads can0's settings now and reports them.
void reportCanSettings();

// Reports these settings.
void reportSettings(const CanSettings &settings);
