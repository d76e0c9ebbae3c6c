// How the run ends. Every exit after start-up is decided here, with its last word: status 0 once
// can0 has confirmed the image's last block; status 2 when a block cannot be sent, when frames
// the tool wrote stay unconfirmed or are lost, when can0 stays bus-off during the upload, or when
// a bus-off may have cost the last blocks; status 1 when reading fails with nothing in flight;
// death by the signal that interrupted the run. The bus is given back before the tool waits for
// its log readers.
#pragma once

#include "frame_send.h"

#include <cstdint>

// Gives the bus back, writes out the queued output, waiting for its readers however slow they
// are (a signal cuts that short), then ends the process with status.
[[noreturn]] void endRun(int status);

// After the block that completes the image: waits until can0 has confirmed every block, and
// checks that no bus-off may have dropped them where it cannot confirm them.
[[noreturn]] void finishUpload();

// A block that could not be sent ends the run.
[[noreturn]] void failBlockSend(SendOutcome outcome);

// A failed send of the activation is reported; the next announcement tries again.
void reportSendFailure(SendOutcome outcome);

// A read from can0 failed with error: "Read: ...", status 1, or status 2 when frames the tool
// wrote were still unconfirmed, since they are lost.
[[noreturn]] void endAfterFailedRead(int error);

// Between requests: takes the confirmations that came, and ends the run when the frames that
// wait have not moved for noProgressLimitSeconds or were lost (a restart, a transmit timeout, a
// failure of the blocks' socket). Reports a stall after noProgressReportSeconds.
void endIfSentFramesFail(bool confirmationsWaiting);

// Milliseconds until can0's bus-off ends the upload (0: now), or -1 when none is pending.
int64_t millisecondsToBusOffLimit();
void endIfBusOffTooLong();

// Ends the run when SIGINT, SIGTERM or SIGHUP came: the bus given back, the queued output within
// a bounded time, where the upload stood and what to do, then death by that signal.
void endIfInterrupted();
