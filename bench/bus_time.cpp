#include "bus_time.h"

#include "can_lengths.h"

namespace {

// SOF, identifier, SRR, IDE, RRS, FDF, res, BRS: everything before the bit-rate switch.
constexpr unsigned headerBits = 1 + 11 + 1 + 1 + 18 + 1 + 1 + 1 + 1;
// CRC delimiter, ACK slot, ACK delimiter, end of frame, intermission.
constexpr unsigned trailerBits = 1 + 1 + 1 + 7 + 3;

void push(std::vector<uint8_t> &bits, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; i--) {
        bits.push_back(static_cast<uint8_t>((value >> i) & 1u));
    }
}

// Stuff count (3 bits and parity) and CRC, with a fixed stuff bit before the stuff count and
// after every fourth bit; the CRC is 17 bits long up to 16 data bytes, 21 beyond.
unsigned crcFieldBits(uint8_t len) {
    const unsigned crc = len <= 16 ? 17 : 21;
    const unsigned fixedStuff = 1 + (4 + crc) / 4;
    return 4 + crc + fixedStuff;
}

} // namespace

unsigned dynamicStuffBits(const std::vector<uint8_t> &bits, size_t switchAt,
                          unsigned *afterSwitch) {
    unsigned stuffed = 0;
    unsigned late = 0;
    unsigned run = 0;
    uint8_t last = 2;
    for (size_t i = 0; i < bits.size(); i++) {
        run = bits[i] == last ? run + 1 : 1;
        last = bits[i];
        if (run == 5) {
            stuffed++;
            late += i >= switchAt ? 1 : 0;
            last = static_cast<uint8_t>(1 - last);
            run = 1;
        }
    }
    if (afterSwitch != nullptr) {
        *afterSwitch = late;
    }
    return stuffed;
}

FrameBits canFdFrameBits(uint32_t id29, const uint8_t *data, uint8_t len, bool bitRateSwitch) {
    std::vector<uint8_t> bits;
    bits.push_back(0);              // SOF
    push(bits, id29 >> 18, 11);     // base identifier
    push(bits, 0x3, 2);             // SRR, IDE
    push(bits, id29 & 0x3FFFF, 18); // identifier extension
    push(bits, 0x2, 3);             // RRS, FDF, res
    bits.push_back(bitRateSwitch ? 1 : 0);
    const size_t switchAt = bits.size() - 1;
    bits.push_back(0); // ESI: error active
    push(bits, can_len2dlc(len), 4);
    for (uint8_t i = 0; i < len; i++) {
        push(bits, data[i], 8);
    }

    FrameBits result;
    unsigned afterSwitch = 0;
    const unsigned stuff = dynamicStuffBits(bits, switchAt, &afterSwitch);
    const unsigned total =
        static_cast<unsigned>(bits.size()) + crcFieldBits(len) + trailerBits + stuff;
    if (!bitRateSwitch) {
        result.arbitrationPhase = total;
        result.arbitrationStuff = stuff;
        return result;
    }
    result.arbitrationStuff = stuff - afterSwitch;
    result.dataStuff = afterSwitch;
    result.arbitrationPhase = headerBits + trailerBits + result.arbitrationStuff;
    result.dataPhase = total - result.arbitrationPhase;
    return result;
}

FrameBits withoutDynamicStuff(FrameBits bits) {
    bits.arbitrationPhase -= bits.arbitrationStuff;
    bits.dataPhase -= bits.dataStuff;
    bits.arbitrationStuff = 0;
    bits.dataStuff = 0;
    return bits;
}

double frameMicroseconds(const FrameBits &bits, double arbitrationBitsPerSecond,
                         double dataBitsPerSecond) {
    return 1e6 *
           (bits.arbitrationPhase / arbitrationBitsPerSecond + bits.dataPhase / dataBitsPerSecond);
}
