// bench-bus-time: the bus time of the 64-byte frames that carry the image, for the benchmark's
// table. Arbitration at 1 Mbit/s; data at 4, 5 and 8 Mbit/s, and at 1 Mbit/s for frames sent
// without bit-rate switch.
//
// Usage: bench-bus-time [--image PATH] [--chunk BYTES] [--tool-us MICROSECONDS]
// With --image, adds the mean over the image's full blocks as canfd-flash sends them for
// requests of --chunk bytes (default 4096); with --tool-us, the tool's time per block divided
// by each frame time (by the image mean when there is one).
#include "TavoMessages.h"
#include "board.h"
#include "bus_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const uint32_t blockId = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse).value;

// The 64 payload bytes of the block at offset, as canfd-flash encodes them.
std::vector<uint8_t> blockPayload(const std::vector<uint8_t> &image, uint32_t offset) {
    canMessageFirmwareUpdateResponse response;
    memset(&response, 0, sizeof(response));
    response.fileOffset = offset;
    response.dataLength = canMessageFirmwareUpdateResponseDataSize;
    response.fileLength = static_cast<uint32_t>(image.size());
    memcpy(response.data, image.data() + offset, canMessageFirmwareUpdateResponseDataSize);
    std::vector<uint8_t> payload(64);
    encodeFirmwareUpdateResponse(response, payload.data());
    return payload;
}

struct Rate {
    const char *name;
    double dataBitsPerSecond;
    bool bitRateSwitch;
};

const Rate rates[] = {
    {"1 / 4 Mbit/s", 4e6, true},
    {"1 / 5 Mbit/s", 5e6, true},
    {"1 / 8 Mbit/s", 8e6, true},
    {"1 Mbit/s, no BRS", 1e6, false},
};

} // namespace

int main(int argc, char **argv) {
    std::string imagePath;
    unsigned long chunk = 4096;
    double toolMicroseconds = 0;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value != nullptr && option == "--image") {
            imagePath = value;
        } else if (value != nullptr && option == "--chunk") {
            chunk = strtoul(value, nullptr, 10);
        } else if (value != nullptr && option == "--tool-us") {
            toolMicroseconds = strtod(value, nullptr);
        } else {
            chunk = 0;
        }
    }
    if (chunk == 0 || toolMicroseconds < 0) {
        fprintf(stderr, "Usage: %s [--image PATH] [--chunk BYTES] [--tool-us MICROSECONDS]\n",
                argv[0]);
        return 2;
    }
    std::vector<uint8_t> image;
    if (!imagePath.empty()) {
        std::ifstream in(imagePath, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (image.size() < canMessageFirmwareUpdateResponseDataSize || image.size() >= 1u << 24) {
            fprintf(stderr, "bench-bus-time: %s: unreadable, too short or too large\n",
                    imagePath.c_str());
            return 1;
        }
    }
    std::vector<std::vector<uint8_t>> frames;
    for (size_t start = 0; start < image.size(); start += chunk) {
        const size_t end = std::min<size_t>(image.size(), start + chunk);
        for (size_t at = start; at + canMessageFirmwareUpdateResponseDataSize <= end; at += 56) {
            frames.push_back(blockPayload(image, static_cast<uint32_t>(at)));
        }
    }
    std::vector<uint8_t> zeros(1 << 12, 0);
    const std::vector<uint8_t> zeroBlock = blockPayload(zeros, 56);

    printf("%-18s %14s %14s %14s%s\n", "arbitration/data", "fixed stuff", "all-zero data",
           frames.empty() ? "" : "image mean", toolMicroseconds > 0 ? "  tool / frame" : "");
    for (const Rate &rate : rates) {
        const auto microseconds = [&rate](const FrameBits &bits) {
            return frameMicroseconds(bits, 1e6, rate.dataBitsPerSecond);
        };
        const FrameBits zeroBits =
            canFdFrameBits(blockId, zeroBlock.data(), 64, rate.bitRateSwitch);
        const double shortest = microseconds(withoutDynamicStuff(zeroBits));
        printf("%-18s %11.1f us %11.1f us", rate.name, shortest, microseconds(zeroBits));
        double reference = shortest;
        if (!frames.empty()) {
            double sum = 0;
            for (const std::vector<uint8_t> &payload : frames) {
                sum +=
                    microseconds(canFdFrameBits(blockId, payload.data(), 64, rate.bitRateSwitch));
            }
            reference = sum / static_cast<double>(frames.size());
            printf(" %11.1f us", reference);
        }
        if (toolMicroseconds > 0) {
            printf("  %11.2f", toolMicroseconds / reference);
        }
        printf("\n");
    }
    return 0;
}
