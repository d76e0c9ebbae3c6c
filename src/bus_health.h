// The controller's own reports about can0: bus-off, error states, missing acknowledgement,
// bus errors. They come as error frames on a socket of their own, so that they never mix with
// the board's frames, and each change is reported once on the error stream.
#pragma once

#include <cstdint>
#include <linux/can.h>

// Opens the socket that receives can0's error frames and nothing else. Reports with perror and
// returns false when the kernel refuses it.
bool openBusHealth(int interfaceIndex);

// Watches this descriptor for error frames instead (-1: none).
void watchBusHealth(int descriptor);
int busHealthSocket();

// Reads the error frames waiting, without blocking, and reports what they say.
void readBusHealth();

// Reports what one error frame says: a change of the controller's state once, a missing
// acknowledgement or a driver timeout once, bus errors as a running count.
void noteErrorFrame(const can_frame *frame);

// The board was heard: can0 is on the bus, whatever an earlier bus-off said.
void noteBusAlive();

// Any error frame so far.
bool busErrorsSeen();

// Milliseconds for which can0 has been bus-off without a restart, or -1 when it is not.
int64_t busOffMilliseconds();

// Marks the start of a request's blocks; busWentOffSinceMark() reads the reports waiting and
// tells whether can0 went bus-off since, when blocks handed to the kernel may have been dropped.
void markBusHealth();
bool busWentOffSinceMark();

// Forgets every report (tests).
void resetBusHealth();
