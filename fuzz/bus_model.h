// What the board must receive in answer to one record, worked out from the protocol: the
// fuzzer compares the flasher's real output with it.
#pragma once

#include "fuzz_hooks.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

using Record = std::vector<uint8_t>;

struct Expectation {
    std::vector<Record> frames;
    int exitStatus = -1; // -1: the flasher carries on
    bool pauseBeforeFirstFrame = false;
    bool bootloaderOrdered = false; // the erase order has gone out, now or before
};

// The first 16 bytes of the record the flasher read, nbytes as read() returned it, whether the
// erase order had gone out before, the image and the send fault injected while this record is
// handled.
Expectation expectedAnswer(const uint8_t *record, ssize_t nbytes, bool bootloaderOrdered,
                           const std::vector<uint8_t> &image, const WriteFault &writeFault);

// Empty when the record is a well-formed acknowledge, erase order or image block of this
// image; otherwise says what is wrong with it.
std::string malformation(const Record &frame, const std::vector<uint8_t> &image);

Record acknowledgeRecord();
Record eraseOrderRecord();
Record blockRecord(const std::vector<uint8_t> &image, uint32_t offset, uint32_t length,
                   uint8_t flags = 0);
