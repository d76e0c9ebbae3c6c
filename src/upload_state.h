// Where the upload stands: whether this run ordered the board into its bootloader, whether the
// upload has begun, and how far it got. The message handler and the block service write it; the
// rooms that report and decide read it.
#pragma once

#include <cstdint>

// Set once the order to start the bootloader has gone out; announcements are then ignored.
extern bool originalFirmwareErase;

// A block request inside the image is being served: the upload has begun, whether or not this
// run activated the board.
void noteUploadBegins();
bool uploadBegun();

// The end of the last request served.
void noteUploadPosition(uint32_t position);
uint32_t uploadPosition();

// Back to the start of a run (tests).
void resetUploadState();
