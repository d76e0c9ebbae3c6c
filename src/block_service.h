// Serving the bootloader's block requests from the image.
#pragma once

#include <cstdint>

constexpr uint32_t largestBlock = 56;

// Answers one firmwareBlockRequest whose payload holds payloadLength bytes. The blocks carry
// the bit-rate switch when bitRateSwitch is set: only a board whose request crossed the bus
// with the switch has shown that its data bit rate is ours. Returns false when the request lay
// past the end of the image and no trailer line must follow.
bool serveFirmwareBlockRequest(const uint8_t *payload, uint8_t payloadLength, bool bitRateSwitch,
                               int socket);

// Sends the lreq image bytes at fileOffset as one frame and returns how many were sent.
// Ends the process with status 0 after the image's last byte, and with status 2 when the
// block cannot be read or sent, or when can0 went bus-off while the request was served.
uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset);

// The end of the last block sent: where the upload stands.
uint32_t uploadPosition();
