#include "image_kind.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

void putWord(std::vector<uint8_t> &bytes, size_t at, uint32_t word) {
    for (int i = 0; i < 4; i++) {
        bytes[at + i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

// A UF2 block of 512 bytes, with its end magic at 508 unless cut short.
std::vector<uint8_t> uf2Block(size_t size, uint32_t endMagic = 0x0AB16F30u) {
    std::vector<uint8_t> bytes(512, 0x11);
    putWord(bytes, 0, 0x0A324655u);
    putWord(bytes, 4, 0x9E5D5157u);
    putWord(bytes, 508, endMagic);
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> followedBy(std::vector<uint8_t> bytes, std::vector<uint8_t> more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

const std::string hexData = ":10010000214601360121470136007EFE09D2190140\n";
const std::string hexEnd = ":00000001FF\n";

TEST(ImageKind, OnlyWhatIsPlainlyAnotherKindIsNamed) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        ImageKind kind;
    } cases[] = {
        {"ELF", {0x7F, 'E', 'L', 'F', 0x01, 0x01, 0x01, 0x00}, elfImage},
        {"ELF magic only", {0x7F, 'E', 'L', 'F'}, elfImage},
        {"too short for the ELF magic", {0x7F, 'E', 'L'}, rawImage},
        {"UF2 block", uf2Block(512), uf2Image},
        {"UF2 blocks", followedBy(uf2Block(512), uf2Block(512)), uf2Image},
        {"UF2 start magics, too short for the end magic", uf2Block(508), rawImage},
        {"UF2 start magics, another end magic", uf2Block(512, 0x0AB16F31u), rawImage},
        {"Intel HEX", bytesOf(hexData + hexEnd), intelHexImage},
        {"Intel HEX, CRLF and lower case", bytesOf(":0300300002337a1e\r\n:00000001ff\r\n"),
         intelHexImage},
        {"Intel HEX, end record alone and no newline", bytesOf(":00000001FF"), intelHexImage},
        {"':' then binary", {':', 0x10, 0x00, 0x20, 0xE0, 0x00, 0x08, 0x00, 0x00}, rawImage},
        {"':' and hex digits, checksum off by one",
         bytesOf(":10010000214601360121470136007EFE09D2190141\n"), rawImage},
        {"':' and hex digits, count disagrees with the data",
         bytesOf(":11010000214601360121470136007EFE09D219013F\n"), rawImage},
        {"':' and an odd number of hex digits", bytesOf(":00000001F\n"), rawImage},
        {"':' and a record too short for its fields", bytesOf(":0000FF\n"), rawImage},
        {"a well-formed first line, binary after it",
         followedBy(bytesOf(hexData), {0x00, 0xFF, 0x80}), rawImage},
        {"raw bytes", {0x00, 0x20, 0x00, 0x20, 0x45, 0x01, 0x00, 0x08}, rawImage},
        {"nothing", {}, rawImage},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(imageKindOf(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.kind)
            << c.what;
    }
}

} // namespace
