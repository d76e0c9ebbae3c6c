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

void printFrameDump(const can_frame *frame, ssize_t nbytes);
