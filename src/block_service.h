// Serving the bootloader's block requests from the image.
#pragma once

#include <cstdint>
#include <linux/can.h>
#include <sys/types.h>

constexpr uint32_t largestBlock = 56;

// True for a CAN FD frame that crossed the bus with the bit-rate switch. The kernel hands an FD
// frame over as a 72-byte record and a classic one as 16 bytes; the size is the one reliable
// sign, as older kernels leave CANFD_FDF clear, and a classic record's pad byte is never a flag.
bool receivedWithBitRateSwitch(const canfd_frame *record, ssize_t nbytes);

// Answers one firmwareBlockRequest read as a record of nbytes. The blocks carry the bit-rate
// switch when the request did: only a board whose request crossed the bus with the switch has
// shown that its data bit rate is ours. Returns false when the request lay past the end of the
// image and no trailer line must follow.
bool serveFirmwareBlockRequest(const canfd_frame *record, ssize_t nbytes, int socket);

// Sends the lreq image bytes at fileOffset (at most a block's worth, and never past the image's
// end; fileOffset lies inside the image) as one frame with frameFlags, and returns how many were
// sent. Ends the process with status 0 after the image's last byte, and with status 2 when the
// block cannot be sent, or when can0 went bus-off since the request began (markBusHealth), as
// blocks handed over since may have been dropped.
uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset,
                                  uint8_t frameFlags);

// The end of the last request served: where the upload stands.
uint32_t uploadPosition();
