// Writing one whole frame record to a CAN socket.
#pragma once

#include <cstddef>

enum SendOutcome {
    frameSent,
    sendFailed,         // errno tells why
    sendMadeNoProgress, // nothing left can0 for noProgressLimitSeconds (see send_stall)
    sendInterrupted,    // SIGINT, SIGTERM or SIGHUP came (see interruption)
};

// Makes a write on socket that cannot go ahead return after noProgressReportSeconds instead of
// sleeping for ever. Reports and returns false when the kernel refuses.
bool boundSendWaits(int socket);

// Writes size bytes from record to socket as one frame. A full transmit queue (ENOBUFS) is
// waited out for about a second, and a write that makes no progress for up to
// noProgressLimitSeconds (reported after noProgressReportSeconds); a signal that came ends the
// wait; any other failure, or a short write, is sendFailed with errno telling why.
SendOutcome sendFrame(int socket, const void *record, size_t size);
