#include "test_image.h"

namespace e2e {

std::vector<uint8_t> makeTestImage(size_t size, uint32_t seed) {
    // xorshift32; a zero state would stay zero.
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0) {
        state = 1;
    }
    std::vector<uint8_t> image(size);
    for (uint8_t &byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return image;
}

} // namespace e2e
