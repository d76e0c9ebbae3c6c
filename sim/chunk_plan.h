// The order in which the simulated bootloader asks for the image, chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class ChunkOrder { Sequential, Reverse, Random };

bool parseChunkOrder(const std::string &text, ChunkOrder &order);
const char *chunkOrderName(ChunkOrder order);

struct ChunkStep {
    size_t chunk = 0;           // index of the chunk in the image
    uint32_t offset = 0;        // first byte of the chunk
    uint32_t imageBytes = 0;    // bytes of the image inside the chunk
    uint32_t requestLength = 0; // always the full chunk size, even past the end of the image
    bool repeat = false;        // asks again for a chunk that has already arrived
};

// Every chunk once, in the given order, except that the chunk holding the image's last byte
// always comes last: the flasher exits as soon as it has sent that byte. With repeat > 0 the
// first, middle and second-to-last requested chunks are asked for that many more times each,
// right after they arrive.
std::vector<ChunkStep> makeChunkPlan(uint32_t imageSize, uint32_t chunkSize, ChunkOrder order,
                                     uint32_t seed, unsigned repeat);

} // namespace sim
