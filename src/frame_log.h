// The log line written for every record read from the bus.
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

void printFrameDump(const canfd_frame *frame, ssize_t nbytes);
