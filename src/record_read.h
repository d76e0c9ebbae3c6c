// Reading one record from a CAN socket without waiting, with what the kernel tells beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct RecordFacts {
    // When the interface received the frame (the kernel's clock, CLOCK_REALTIME), or 0 when the
    // socket does not say (SO_TIMESTAMPNS not set, or not a CAN socket).
    int64_t stampNanoseconds;
    // The frames the socket dropped so far for a full queue, when it says (SO_RXQ_OVFL): only
    // after a first drop.
    bool dropsKnown;
    uint32_t drops;
};

// Asks the kernel to stamp each record with its receive time and to count the records it drops
// for a full queue. Returns false, with errno, when it refuses.
bool askForRecordFacts(int socket);

// As recv(socket, record, size, MSG_DONTWAIT), also filling facts.
ssize_t readRecord(int socket, void *record, size_t size, RecordFacts *facts);
