#include "chunk_plan.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace sim;

std::vector<size_t> chunksOf(const std::vector<ChunkStep> &plan) {
    std::vector<size_t> chunks;
    for (const ChunkStep &step : plan) {
        chunks.push_back(step.chunk);
    }
    return chunks;
}

TEST(ChunkPlan, SequentialCoversTheImageAndAsksForWholeChunks) {
    const auto plan = makeChunkPlan(1100, 512, ChunkOrder::Sequential, 1, 0);
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[0].offset, 0u);
    EXPECT_EQ(plan[1].offset, 512u);
    EXPECT_EQ(plan[2].offset, 1024u);
    EXPECT_EQ(plan[1].imageBytes, 512u);
    EXPECT_EQ(plan[2].imageBytes, 76u);
    EXPECT_EQ(plan[2].requestLength, 512u) << "runs past the end, as a bootloader's would";
    EXPECT_EQ(makeChunkPlan(1024, 512, ChunkOrder::Sequential, 1, 0).size(), 2u);
    EXPECT_EQ(chunksOf(makeChunkPlan(10, 512, ChunkOrder::Reverse, 1, 3)), std::vector<size_t>{0});
}

TEST(ChunkPlan, ReverseStillEndsWithTheLastChunk) {
    EXPECT_EQ(chunksOf(makeChunkPlan(5 * 100 - 1, 100, ChunkOrder::Reverse, 1, 0)),
              (std::vector<size_t>{3, 2, 1, 0, 4}));
}

TEST(ChunkPlan, RandomIsASeededPermutationEndingWithTheLastChunk) {
    const auto first = chunksOf(makeChunkPlan(20 * 64, 64, ChunkOrder::Random, 7, 0));
    ASSERT_EQ(first.size(), 20u);
    EXPECT_EQ(first.back(), 19u);
    auto sorted = first;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
        EXPECT_EQ(sorted[i], i);
    }
    EXPECT_EQ(first, chunksOf(makeChunkPlan(20 * 64, 64, ChunkOrder::Random, 7, 0)));
    EXPECT_NE(first, chunksOf(makeChunkPlan(20 * 64, 64, ChunkOrder::Random, 8, 0)));
    EXPECT_FALSE(std::is_sorted(first.begin(), first.end()));
}

TEST(ChunkPlan, RepeatAsksAgainRightAfterArrivalButNeverForTheLastChunk) {
    const auto plan = makeChunkPlan(7 * 10, 10, ChunkOrder::Sequential, 1, 2);
    EXPECT_EQ(chunksOf(plan), (std::vector<size_t>{0, 0, 0, 1, 2, 3, 3, 3, 4, 5, 5, 5, 6}));
    for (size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].repeat, i > 0 && plan[i].chunk == plan[i - 1].chunk) << i;
    }
}

} // namespace
