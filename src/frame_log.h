// The log line written for every record read from the bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/can.h>
#include <sys/types.h>

// A read shorter than this did not even deliver the identifier and the length byte.
constexpr ssize_t frameHeaderSize = offsetof(can_frame, data);

// Payload bytes that a record of nbytes really holds: never more than its length byte says,
// the 8 bytes a classic record has room for, or what the read returned.
uint8_t heldPayloadLength(const can_frame *frame, ssize_t nbytes);

// True when the record is a CAN FD frame sent with the bit-rate switch. A classic record has no
// flags: the kernel marks FD records with CANFD_FDF, and only they can be longer than 8 bytes.
bool receivedWithBitRateSwitch(const can_frame *frame);

void printFrameDump(const can_frame *frame, ssize_t nbytes);
