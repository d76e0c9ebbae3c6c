// Writing one whole frame record to the CAN socket, and waiting for frames to leave can0.
#pragma once

#include <cstddef>
#include <cstdint>

// A write that makes no progress for this long (no frame handed over leaves can0) is reported
// once; the wait goes on until noProgressLimitSeconds, when the send fails.
constexpr int noProgressReportSeconds = 2;
constexpr int noProgressLimitSeconds = 20;

enum SendOutcome {
    frameSent,
    sendFailed,         // errno tells why
    sendMadeNoProgress, // nothing left can0 for noProgressLimitSeconds
};

// Makes a write on socket that cannot go ahead return after noProgressReportSeconds instead of
// sleeping for ever. Reports and returns false when the kernel refuses.
bool boundSendWaits(int socket);

// Writes size bytes from record to socket as one frame. A full transmit queue (ENOBUFS) is
// waited out for about a second, and a write that makes no progress (see above) for up to
// noProgressLimitSeconds; any other failure, or a short write, is sendFailed with errno telling
// why.
SendOutcome sendFrame(int socket, const void *record, size_t size);

// Waits until every frame handed to socket has left can0, for as long as they keep leaving and
// for up to noProgressLimitSeconds without progress: frameSent, or sendMadeNoProgress.
SendOutcome waitUntilSent(int socket);

// Bytes of frames handed to socket that have not left yet (still queued on their way to the
// bus), or 0 when that cannot be told.
uint32_t bytesNotYetSent(int socket);

// Whether can0 went bus-off during the send that made no progress.
bool stallMetBusOff();
