// bench-bus-time: the bus time of the 64-byte frames that carry the image, for the benchmark's
// table. Arbitration at 1 Mbit/s; data at 4, 5 and 8 Mbit/s, and at 1 Mbit/s for frames sent
// without bit-rate switch.
//
// Usage: bench-bus-time [--image PATH] [--chunk BYTES] [--tool-us MICROSECONDS]
//                       [--upload BYTES]
// With --image, adds the mean over the image's full blocks as canfd-flash sends them for
// requests of --chunk bytes (default 4096); with --tool-us, the tool's time per block divided
// by each frame time (by the image mean when there is one).
//
// With --upload, adds the bus time of a whole upload of an image of BYTES bytes in --chunk-byte
// requests: per request the board's request frame, then the block frames at their on-wire
// lengths, back to back (bus time only: no time for the board or the flasher to answer). A board
// that asks with the bit-rate switch gets its blocks with it, any other board without it:
//  - board without the switch: classic 8-byte request frames, or 64-byte CAN FD requests
//    without the switch; everything at 1 Mbit/s;
//  - board with the switch: CAN FD request frames with the switch, either the 8-byte header
//    alone or the 64-byte form carrying a board type text; data phase at 4, 5 or 8 Mbit/s.
// Requests hold bootloader version 0, length --chunk and board version 1; the 64-byte form
// carries the text "sim-board-121" and zero bytes. Times with the dynamic stuff bits of two
// images, a pseudo-random one (byte i is the low byte of the i-th output of std::mt19937 with
// its default seed 5489, the same with every standard library) and an all-zero one, and with
// fixed stuff bits only, the shortest the frames can be.
#include "TavoMessages.h"
#include "board.h"
#include "bus_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

const uint32_t blockId = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse).value;

// The 64 payload bytes of the full block at offset, as canfd-flash encodes them.
std::vector<uint8_t> blockPayload(const std::vector<uint8_t> &image, uint32_t offset) {
    return blockFramePayload(image, offset, canMessageFirmwareUpdateResponseDataSize);
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

const char *const boardTypeText = "sim-board-121";

struct UploadBus {
    const char *name;
    double dataBitsPerSecond;
    bool bitRateSwitch;
    bool classicRequests;
    bool boardType; // 64-byte requests
};

const UploadBus uploadBuses[] = {
    {"no BRS: classic 8-byte requests", 1e6, false, true, false},
    {"no BRS: FD 64-byte requests", 1e6, false, false, true},
    {"BRS 1/4 Mbit/s: FD 8-byte req.", 4e6, true, false, false},
    {"BRS 1/4 Mbit/s: FD 64-byte req.", 4e6, true, false, true},
    {"BRS 1/5 Mbit/s: FD 8-byte req.", 5e6, true, false, false},
    {"BRS 1/5 Mbit/s: FD 64-byte req.", 5e6, true, false, true},
    {"BRS 1/8 Mbit/s: FD 8-byte req.", 8e6, true, false, false},
    {"BRS 1/8 Mbit/s: FD 64-byte req.", 8e6, true, false, true},
};

std::vector<uint8_t> pseudoRandomImage(size_t size) {
    std::mt19937 random;
    std::vector<uint8_t> image(size);
    for (uint8_t &byte : image) {
        byte = static_cast<uint8_t>(random());
    }
    return image;
}

void printUpload(size_t size, uint32_t chunk) {
    const std::vector<uint8_t> random = pseudoRandomImage(size);
    const std::vector<uint8_t> zeros(size, 0);
    const std::vector<UploadFrame> randomFrames[] = {uploadFrames(random, chunk),
                                                     uploadFrames(random, chunk, boardTypeText)};
    const std::vector<UploadFrame> zeroFrames[] = {uploadFrames(zeros, chunk),
                                                   uploadFrames(zeros, chunk, boardTypeText)};

    unsigned requests = 0;
    std::vector<unsigned> blocksOfLength(65, 0);
    for (const UploadFrame &frame : randomFrames[0]) {
        if (frame.request) {
            requests++;
        } else {
            blocksOfLength[frame.payload.size()]++;
        }
    }
    printf("\nupload of %zu bytes in %u-byte requests, bus time only (frames back to back):\n"
           "%u requests, each followed by its block frames:",
           size, chunk, requests);
    const char *separator = "";
    for (size_t len = 64; len > 0; len--) {
        if (blocksOfLength[len] != 0) {
            printf("%s %u of %zu bytes", separator, blocksOfLength[len], len);
            separator = ",";
        }
    }
    printf("\nrequests: offset, bootloader version 0, length %u, board version 1; the 64-byte form "
           "adds\n\"%s\" and zero bytes. Blocks carry the switch (BRS) when the requests do.\n",
           chunk, boardTypeText);
    printf("%-32s %12s %14s %12s %8s\n", "board: requests", "fixed stuff", "pseudo-random",
           "all-zero", "speed-up");
    double slowest = 0;
    for (const UploadBus &bus : uploadBuses) {
        const std::vector<FrameBits> randomBits = uploadFrameBits(
            randomFrames[bus.boardType ? 1 : 0], bus.classicRequests, bus.bitRateSwitch);
        const std::vector<FrameBits> zeroBits = uploadFrameBits(
            zeroFrames[bus.boardType ? 1 : 0], bus.classicRequests, bus.bitRateSwitch);
        const double shortest = busMicroseconds(randomBits, 1e6, bus.dataBitsPerSecond, false);
        const double typical = busMicroseconds(randomBits, 1e6, bus.dataBitsPerSecond);
        if (slowest == 0) {
            slowest = typical;
        }
        printf("%-32s %9.1f ms %11.1f ms %9.1f ms %7.2fx\n", bus.name, shortest / 1e3,
               typical / 1e3, busMicroseconds(zeroBits, 1e6, bus.dataBitsPerSecond) / 1e3,
               slowest / typical);
    }
    printf("(fixed stuff: without dynamic stuff bits, the shortest the frames can be; classic "
           "frames have\nno other. Pseudo-random image: byte i = low byte of the i-th output of "
           "std::mt19937,\ndefault seed. Speed-up: the first row's pseudo-random time over this "
           "row's.)\n");
}

} // namespace

int main(int argc, char **argv) {
    std::string imagePath;
    unsigned long chunk = 4096;
    double toolMicroseconds = 0;
    unsigned long uploadBytes = 0;
    bool uploadAsked = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value != nullptr && option == "--image") {
            imagePath = value;
        } else if (value != nullptr && option == "--chunk") {
            chunk = strtoul(value, nullptr, 10);
        } else if (value != nullptr && option == "--tool-us") {
            toolMicroseconds = strtod(value, nullptr);
        } else if (value != nullptr && option == "--upload") {
            uploadBytes = strtoul(value, nullptr, 10);
            uploadAsked = true;
        } else {
            chunk = 0;
        }
    }
    const bool badUpload = uploadAsked && (uploadBytes == 0 || uploadBytes > fieldMask24);
    if (chunk == 0 || chunk > fieldMask24 || toolMicroseconds < 0 || badUpload) {
        fprintf(stderr,
                "Usage: %s [--image PATH] [--chunk BYTES] [--tool-us MICROSECONDS] "
                "[--upload BYTES]\n",
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
    if (uploadAsked) {
        printUpload(uploadBytes, static_cast<uint32_t>(chunk));
    }
    return 0;
}
