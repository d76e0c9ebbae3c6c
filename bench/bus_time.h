// Time a frame with a 29-bit identifier takes on the bus, bit by bit: the frame is laid out as
// the controller sends it (CAN FD, or classic CAN 2.0), the dynamic stuff bits are counted on the
// real bits, and the bits are split between the arbitration and the data bit rate. On top, the
// frames of a whole upload: the board's block requests and canfd-flash's blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Dynamic stuff bits (from runs of equal bits) are counted in the phase totals and, again, on
// their own; the fixed stuff bits of the CRC field belong to the frame's fixed length.
struct FrameBits {
    unsigned arbitrationPhase = 0; // bits at the arbitration rate, intermission included
    unsigned dataPhase = 0;        // bits at the data rate (none without bit-rate switch)
    unsigned arbitrationStuff = 0;
    unsigned dataStuff = 0;
};

// Stuff bits a controller inserts into bits (0 or 1 each): one of opposite value after every
// five equal bits, itself counted in the next run. Stuff bits that follow bit index switchAt or
// a later one are also counted in *afterSwitch when it is given.
unsigned dynamicStuffBits(const std::vector<uint8_t> &bits, size_t switchAt = SIZE_MAX,
                          unsigned *afterSwitch = nullptr);

// len must be a CAN FD length (0-8, 12, 16, 20, 24, 32, 48 or 64).
FrameBits canFdFrameBits(uint32_t id29, const uint8_t *data, uint8_t len, bool bitRateSwitch);

// The 15-bit CRC of a classic frame over bits (start of frame through the data field):
// generator x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1, register starting at zero.
uint16_t crc15(const std::vector<uint8_t> &bits);

// A classic CAN 2.0 data frame, len 0-8: every bit at the arbitration rate. Unlike CAN FD, the
// CRC sequence is stuffed dynamically like the bits before it, so the CRC is computed.
FrameBits classicFrameBits(uint32_t id29, const uint8_t *data, uint8_t len);

double frameMicroseconds(const FrameBits &bits, double arbitrationBitsPerSecond,
                         double dataBitsPerSecond);
// The same frame without its dynamic stuff bits: the shortest it can be.
FrameBits withoutDynamicStuff(FrameBits bits);

// The payload of the block frame canfd-flash sends for length (at most 56) bytes of image at
// offset, padded to the next CAN FD length. The flasher hands over only 8 + length bytes; the
// controller fills the rest with whatever its buffer held (stale bytes, as seen on a real
// driver), so the pad bytes here are zeros standing in for unknown ones: their stuff bits, and
// the time, may differ by a few bits.
std::vector<uint8_t> blockFramePayload(const std::vector<uint8_t> &image, uint32_t offset,
                                       uint32_t length);

// A block request for length bytes at offset, bootloader version 0 and board version 1: the
// 8-byte header alone, or, with boardType, the 64-byte form with the text after the header,
// cut to 56 bytes or padded with zero bytes.
std::vector<uint8_t> blockRequestPayload(uint32_t offset, uint32_t length,
                                         const char *boardType = nullptr);

struct UploadFrame {
    bool request; // from the board; otherwise a block from canfd-flash
    std::vector<uint8_t> payload;
};

// Every frame of an upload of image in bus order: the board asks for chunk bytes at offsets 0,
// chunk, 2 * chunk and so on, and each request is followed by its blocks of at most 56 bytes
// (none past the image's end).
std::vector<UploadFrame> uploadFrames(const std::vector<uint8_t> &image, uint32_t chunk,
                                      const char *boardType = nullptr);

// The bits of each frame: requests as classic frames (8-byte payloads only) or as CAN FD
// frames; CAN FD requests and all blocks with the bit-rate switch or all without.
std::vector<FrameBits> uploadFrameBits(const std::vector<UploadFrame> &frames, bool classicRequests,
                                       bool bitRateSwitch);

// The frames back to back; without dynamic stuff bits when dynamicStuff is false.
double busMicroseconds(const std::vector<FrameBits> &frames, double arbitrationBitsPerSecond,
                       double dataBitsPerSecond, bool dynamicStuff = true);
