// e2e-check: the host side of the end-to-end suite.
//
//   e2e-check image SIZE SEED OUTFILE   write a reproducible test image
//   e2e-check capture CAPTURE [--image FILE] [--activations N] [--no-frames]
//                     [--pause SECONDS] [--fast-median SECONDS] [--at-least NAME=N]...
//                     [--last-frame-len N] [--receiver-lost N] [--partial]
//                     [--reassembled OUTFILE]
//       judge a capture written by e2e-capture (see capture_check.h); prints what the bus
//       showed, then "PASS" or "FAIL: ..." and exits 0 or 1 (2 on a usage or file error);
//       --last-frame-len is the length byte as captured (rounded up to a CAN FD length on a
//       real controller); --receiver-lost lets N unbroken runs of predicted blocks be missing
//       from the capture, for N overruns of the capturing interface (the rise of its
//       rx_errors); --partial judges part of an upload (blocks may still be due at the end,
//       and not every image byte needs to cross);
//       --reassembled writes the image as put together from the captured blocks.
#include "capture_check.h"
#include "capture_log.h"
#include "test_image.h"

#include <climits>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: e2e-check image SIZE SEED OUTFILE\n"
                 "       e2e-check capture CAPTURE [--image FILE] [--activations N] "
                 "[--no-frames] [--pause S] [--fast-median S] [--at-least NAME=N]... "
                 "[--last-frame-len N] [--receiver-lost N] [--partial] [--reassembled OUTFILE]\n";
    return 2;
}

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

// A count: decimal digits only, so that "-1" is refused instead of wrapping around.
unsigned count(const std::string &value) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(value) > UINT_MAX) {
        throw std::invalid_argument("not a count: '" + value + "'");
    }
    return static_cast<unsigned>(std::stoul(value));
}

int writeImage(const std::string &size, const std::string &seed, const std::string &path) {
    writeFile(path, e2e::makeTestImage(std::stoul(size), static_cast<uint32_t>(std::stoul(seed))));
    return 0;
}

int judge(int argc, char **argv) {
    e2e::Expectations expect;
    std::string reassembledPath;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--no-frames") {
            expect.noFrames = true;
            continue;
        }
        if (option == "--partial") {
            expect.partial = true;
            continue;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const std::string value = argv[++i];
        if (option == "--image") {
            expect.image = readFile(value);
        } else if (option == "--activations") {
            expect.activations = count(value);
        } else if (option == "--pause") {
            expect.firstBlockPause = std::stod(value);
        } else if (option == "--fast-median") {
            expect.fastMedian = std::stod(value);
        } else if (option == "--at-least" && value.find('=') != std::string::npos) {
            const size_t equals = value.find('=');
            expect.atLeast[value.substr(0, equals)] = count(value.substr(equals + 1));
        } else if (option == "--reassembled") {
            reassembledPath = value;
        } else if (option == "--last-frame-len") {
            expect.lastFrameLength = count(value);
        } else if (option == "--receiver-lost") {
            expect.receiverLost = count(value);
        } else {
            return usage();
        }
    }
    std::ifstream in(argv[2]);
    if (!in) {
        throw std::runtime_error(std::string("cannot open ") + argv[2]);
    }
    const e2e::CaptureLog log = e2e::parseCapture(in);
    const e2e::CheckResult result = e2e::checkCapture(log, expect);
    if (!reassembledPath.empty()) {
        writeFile(reassembledPath, result.reassembled);
    }
    for (const std::string &line : result.summary) {
        std::cout << line << "\n";
    }
    for (const std::string &note : log.notes) {
        std::cout << "capture note: " << note << "\n";
    }
    if (!result.failure.empty()) {
        std::cout << "FAIL: " << result.failure << std::endl;
        return 1;
    }
    std::cout << "PASS" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "image" && argc == 5) {
            return writeImage(argv[2], argv[3], argv[4]);
        }
        if (mode == "capture" && argc >= 3) {
            return judge(argc, argv);
        }
    } catch (const std::exception &error) {
        std::cerr << "e2e-check: " << error.what() << std::endl;
        return 2;
    }
    return usage();
}
