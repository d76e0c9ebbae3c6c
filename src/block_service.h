// Serving the bootloader's block requests from the image.
#pragma once

#include <cstdint>
#include <linux/can.h>
#include <sys/types.h>

constexpr uint32_t largestBlock = 56;

enum RequestOutcome {
    requestServed,
    requestIgnored,    // not for this tool to answer (too short, a newer bootloader)
    requestPastTheEnd, // ignored, and no trailer line follows
};

// Answers one firmwareBlockRequest read as a record of nbytes, on the blocks' socket (see
// block_socket). The blocks carry the bit-rate switch when the request did: only a board whose
// request crossed the bus with the switch has shown that its data bit rate is ours.
RequestOutcome serveFirmwareBlockRequest(const canfd_frame *record, ssize_t nbytes);

// Sends the lreq image bytes at fileOffset (at most a block's worth, and never past the image's
// end; fileOffset lies inside the image) as one frame with frameFlags, and returns how many were
// sent. The run ends after the image's last byte, once can0 has confirmed it, and when the block
// cannot be sent.
uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset,
                                  uint8_t frameFlags);
