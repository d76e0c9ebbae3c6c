// Command-line settings of canfd-board-sim.
#pragma once

#include "chunk_plan.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Options {
    std::string interface = "can0";
    std::string imagePath;
    bool announce = true;
    uint32_t announceIntervalMs = 200;
    bool secondAnnounce = false;
    uint32_t eraseMs = 300;
    uint32_t chunkSize = 512;
    ChunkOrder order = ChunkOrder::Sequential;
    uint32_t seed = 1;
    unsigned repeat = 0;
    uint32_t chunkTimeoutMs = 2000;
    unsigned retries = 5;
    bool noise = false;
    bool fdRequests = false;
    bool brsRequests = false; // CAN FD requests with the bit-rate switch
    bool ignoredRequests = false;
    uint32_t ignoreWindowMs = 800;
    uint32_t lingerMs = 100;
    bool quiet = false;
    bool stats = false;
    uint32_t timeoutS = 60;
};

struct ParsedOptions {
    Options options;
    bool help = false;
    bool version = false;
    std::string error; // empty when the command line was understood
};

ParsedOptions parseOptions(const std::vector<std::string> &args);
std::string usageText(const std::string &program);
// The answer to --version: the program's name and the package's version, as canfd-flash says.
std::string versionText();

} // namespace sim
