// How the run ends. Every exit after start-up is decided here, with its last word: status 0 once
// the image's last frame has left can0; status 2 when a block cannot be sent, when can0 stays
// bus-off during the upload, or when a bus-off may have cost the last blocks; 128 + the signal
// when the run is interrupted.
#pragma once

#include "frame_send.h"

#include <cstdint>

// Writes out the queued output, waiting for its readers however slow they are (a signal cuts
// that short), then ends the process with status.
[[noreturn]] void endRun(int status);

// After the block that completes the image: waits for the last frames to leave can0 and checks
// that no bus-off may have dropped them.
[[noreturn]] void finishUpload(int socket);

// A block that could not be sent ends the run.
[[noreturn]] void failBlockSend(SendOutcome outcome);

// A failed send of the activation is reported; the next announcement tries again.
void reportSendFailure(SendOutcome outcome);

// Milliseconds until can0's bus-off ends the upload (0: now), or -1 when none is pending.
int64_t millisecondsToBusOffLimit();
void endIfBusOffTooLong();

// Ends the run when SIGINT, SIGTERM or SIGHUP came: the queued output within a bounded time,
// then where the upload stood and what to do.
void endIfInterrupted();
