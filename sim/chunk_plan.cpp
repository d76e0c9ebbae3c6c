#include "chunk_plan.h"

#include <algorithm>
#include <random>
#include <set>

namespace sim {

bool parseChunkOrder(const std::string &text, ChunkOrder &order) {
    for (ChunkOrder candidate : {ChunkOrder::Sequential, ChunkOrder::Reverse, ChunkOrder::Random}) {
        if (text == chunkOrderName(candidate)) {
            order = candidate;
            return true;
        }
    }
    return false;
}

const char *chunkOrderName(ChunkOrder order) {
    switch (order) {
    case ChunkOrder::Sequential:
        return "sequential";
    case ChunkOrder::Reverse:
        return "reverse";
    case ChunkOrder::Random:
        return "random";
    }
    return "?";
}

std::vector<ChunkStep> makeChunkPlan(uint32_t imageSize, uint32_t chunkSize, ChunkOrder order,
                                     uint32_t seed, unsigned repeat) {
    if (imageSize == 0 || chunkSize == 0) {
        return {};
    }
    const size_t count = (static_cast<size_t>(imageSize) + chunkSize - 1) / chunkSize;
    std::vector<size_t> chunks;
    for (size_t i = 0; i + 1 < count; ++i) {
        chunks.push_back(i);
    }
    if (order == ChunkOrder::Reverse) {
        std::reverse(chunks.begin(), chunks.end());
    } else if (order == ChunkOrder::Random) {
        // A hand-written shuffle over mt19937's fixed output keeps a seed meaning the same
        // order with every standard library.
        std::mt19937 random(seed);
        for (size_t i = chunks.size(); i > 1; --i) {
            std::swap(chunks[i - 1], chunks[random() % i]);
        }
    }

    std::set<size_t> repeated;
    if (repeat > 0 && !chunks.empty()) {
        repeated = {0, chunks.size() / 2, chunks.size() - 1};
    }
    std::vector<ChunkStep> plan;
    auto add = [&](size_t chunk, bool again) {
        ChunkStep step;
        step.chunk = chunk;
        step.offset = static_cast<uint32_t>(chunk * chunkSize);
        step.imageBytes = std::min(chunkSize, imageSize - step.offset);
        step.requestLength = chunkSize;
        step.repeat = again;
        plan.push_back(step);
    };
    for (size_t position = 0; position < chunks.size(); ++position) {
        add(chunks[position], false);
        if (repeated.count(position)) {
            for (unsigned i = 0; i < repeat; ++i) {
                add(chunks[position], true);
            }
        }
    }
    add(count - 1, false);
    return plan;
}

} // namespace sim
