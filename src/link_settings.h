// can0's CAN settings as the kernel told them at start-up, and where to ask again: the rooms
// that check, report and decide read them here.
#pragma once

#include "can_settings.h"

// The interface the settings are read from (its index); -1 until start-up found it.
void watchSettingsOf(int interfaceIndex);

// Reads can0's settings now and keeps them as the start-up settings. Returns false, with
// errno, when the kernel could not be asked.
bool readStartupSettings();

// What was read at start-up: whether it could be read (if not, the errno of the failure), and
// the settings.
bool startupSettingsRead();
int startupSettingsError();
const CanSettings &startupSettings();

// Reads can0's settings now; false when there is no interface to ask yet or the kernel could
// not be asked.
bool readCurrentSettings(CanSettings *settings);
