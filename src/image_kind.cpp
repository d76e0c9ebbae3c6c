#include "image_kind.h"

static uint32_t littleEndianWord(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

static bool isElf(const uint8_t *bytes, uint32_t length) {
    return length >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F';
}

// The first 512-byte block carries all three magic words.
static bool isUf2(const uint8_t *bytes, uint32_t length) {
    return length >= 512 && littleEndianWord(bytes) == 0x0A324655u &&
           littleEndianWord(bytes + 4) == 0x9E5D5157u &&
           littleEndianWord(bytes + 508) == 0x0AB16F30u;
}

static int hexDigitValue(uint8_t character) {
    if (character >= '0' && character <= '9') {
        return character - '0';
    }
    if (character >= 'A' && character <= 'F') {
        return character - 'A' + 10;
    }
    if (character >= 'a' && character <= 'f') {
        return character - 'a' + 10;
    }
    return -1;
}

static bool isTextLines(const uint8_t *bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        uint8_t character = bytes[i];
        if ((character < 0x20 || character > 0x7E) && character != '\n' && character != '\r' &&
            character != '\t') {
            return false;
        }
    }
    return true;
}

// A record: ':', then byte count, 16-bit address, type, the data and a checksum, each byte as two
// hex digits, the count agreeing with the data and all the bytes adding up to 0 (mod 256).
static bool isHexRecord(const uint8_t *line, uint32_t length) {
    const uint32_t fixedBytes = 5; // count, address (2), type, checksum
    if (length < 1 + 2 * fixedBytes || line[0] != ':' || (length - 1) % 2 != 0) {
        return false;
    }
    uint32_t bytes = (length - 1) / 2;
    uint8_t sum = 0;
    uint8_t first = 0;
    uint8_t type = 0;
    for (uint32_t i = 0; i < bytes; i++) {
        int high = hexDigitValue(line[1 + 2 * i]);
        int low = hexDigitValue(line[2 + 2 * i]);
        if (high < 0 || low < 0) {
            return false;
        }
        uint8_t value = static_cast<uint8_t>(high << 4 | low);
        if (i == 0) {
            first = value;
        } else if (i == 3) {
            type = value;
        }
        sum = static_cast<uint8_t>(sum + value);
    }
    return first == bytes - fixedBytes && type <= 5 && sum == 0;
}

// Judged on the first line alone, and only in a file of text lines: a raw image may well begin
// with ':'.
static bool isIntelHex(const uint8_t *bytes, uint32_t length) {
    if (length == 0 || bytes[0] != ':') {
        return false;
    }
    uint32_t lineEnd = 0;
    while (lineEnd < length && bytes[lineEnd] != '\n') {
        lineEnd++;
    }
    if (lineEnd > 0 && bytes[lineEnd - 1] == '\r') {
        lineEnd--;
    }
    return isHexRecord(bytes, lineEnd) && isTextLines(bytes, length);
}

ImageKind imageKindOf(const uint8_t *bytes, uint32_t length) {
    if (isElf(bytes, length)) {
        return elfImage;
    }
    if (isUf2(bytes, length)) {
        return uf2Image;
    }
    if (isIntelHex(bytes, length)) {
        return intelHexImage;
    }
    return rawImage;
}
