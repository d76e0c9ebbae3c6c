// What a record read from the bus holds: the facts that the log and the handler both rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/can.h>
#include <sys/types.h>

// A read shorter than this did not even deliver the identifier and the length byte.
constexpr ssize_t frameHeaderSize = offsetof(canfd_frame, data);

// Payload bytes of the record that are shown and examined: never more than its length byte
// says, what the read returned, or the 8 bytes a classic record holds (a request says all
// it has to say in its first 8).
uint8_t heldPayloadLength(const canfd_frame *frame, ssize_t nbytes);

// True for a CAN FD frame that crossed the bus with the bit-rate switch. The kernel hands an FD
// frame over as a 72-byte record and a classic one as 16 bytes; the size is the one reliable
// sign, as older kernels leave CANFD_FDF clear, and a classic record's pad byte is never a flag.
bool receivedWithBitRateSwitch(const canfd_frame *record, ssize_t nbytes);
