// canfd-board-sim: plays board 121 on a CAN FD interface for a dry run of the flasher.
#include "board.h"
#include "can_socket.h"
#include "frame_channel.h"
#include "frame_log.h"
#include "options.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <unistd.h>

namespace {

bool readImage(const std::string &path, std::vector<uint8_t> &image, std::string &error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open image " + path;
        return false;
    }
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read image " + path;
        return false;
    }
    if (image.empty() || image.size() > sim::kField24) {
        error = "image " + path + " has " + std::to_string(image.size()) +
                " bytes; it must hold 1 to 16777215 bytes";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    const std::string program = argc > 0 ? argv[0] : "canfd-board-sim";
    const sim::ParsedOptions parsed =
        sim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::cout << sim::usageText(program);
        return sim::kExitPass;
    }
    if (parsed.version) {
        std::cout << sim::versionText();
        return sim::kExitPass;
    }
    if (!parsed.error.empty()) {
        std::cerr << program << ": " << parsed.error << "\n(try --help)\n";
        return sim::kExitSystem;
    }
    const sim::Options &options = parsed.options;
    std::vector<uint8_t> image;
    std::string error;
    if (!readImage(options.imagePath, image, error)) {
        std::cout << "FAIL: " << error << std::endl;
        return sim::kExitSystem;
    }
    // Line by line, so the log interleaves sensibly with the flasher's when both share a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int fd = -1;
    try {
        fd = sim::openCanSocket(options.interface);
        sim::FrameChannel channel(fd, "/sys/class/net/" + options.interface + "/statistics");
        sim::FrameLog log(std::cout, options.interface, options.quiet);
        sim::Board board(options, std::move(image), channel, log);
        const sim::Verdict verdict = board.run();
        close(fd);
        fd = -1;
        if (options.stats) {
            std::cout << board.statsText() << "\n";
        }
        std::cout << verdict.line << std::endl;
        return verdict.status;
    } catch (const std::exception &failure) {
        if (fd >= 0) {
            close(fd);
        }
        std::cout << "FAIL: " << failure.what() << std::endl;
        return sim::kExitSystem;
    }
}
