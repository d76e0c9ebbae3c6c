// What can0's controller reports means, said on the error stream: each change of state once,
// with what to do; bus errors and missing acknowledgements as running counts.
#pragma once

#include <cstdint>
#include <linux/can.h>

// Reads the error frames waiting, without blocking, and reports what they say.
void readBusHealth();

// Reports the events that bus_health returned for frame (which may be null for events that
// come without one).
void reportBusEvents(uint32_t events, const can_frame *frame);

// Forgets when counts were last reported (tests).
void resetBusReports();
