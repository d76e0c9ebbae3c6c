// bench-bare-loop: the yardstick for canfd-flash's block stream. It answers the simulated
// board's block requests as the flasher does, but with the image in memory, every frame of a
// request built before the first is written, and then nothing but write() back to back: no file
// read, no log. The socket is set up as canfd-flash sets up its own.
//
// Usage: bench-bare-loop --image PATH [--interface NAME] [--ready FILE]
// Exits 0 after the frame carrying the image's last byte, 1 on a system error, 2 on bad usage.
#include "TavoMessages.h"
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int fail(const std::string &what) {
    fprintf(stderr, "bench-bare-loop: %s: %s\n", what.c_str(), strerror(errno));
    return 1;
}

int openSocket(const std::string &interface) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        return -1;
    }
    int sndbuf = 0;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    int enable = 1;
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0 ||
        (addr.can_ifindex = ifr.ifr_ifindex,
         bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof(enable)) < 0) {
        close(s);
        return -1;
    }
    return s;
}

// The frames canfd-flash sends for a request: 56 image bytes each from offset on, the last one
// shorter where the request or the image ends.
void buildAnswer(const std::vector<uint8_t> &image, uint32_t offset, uint32_t length,
                 std::vector<canfd_frame> &frames) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t end = length > size - offset ? size : offset + length;
    const uint32_t id = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse).value;
    frames.clear();
    for (uint32_t at = offset; at < end; at += canMessageFirmwareUpdateResponseDataSize) {
        canMessageFirmwareUpdateResponse response;
        memset(&response, 0, sizeof(response));
        response.fileOffset = at;
        response.dataLength = static_cast<uint8_t>(
            std::min<uint32_t>(canMessageFirmwareUpdateResponseDataSize, end - at));
        response.fileLength = size;
        memcpy(response.data, image.data() + at, response.dataLength);
        canfd_frame frame;
        memset(&frame, 0, sizeof(frame));
        frame.can_id = id | CAN_EFF_FLAG;
        frame.len = static_cast<uint8_t>(encodeFirmwareUpdateResponse(response, frame.data));
        frames.push_back(frame);
    }
}

bool writeAll(int s, const std::vector<canfd_frame> &frames) {
    for (const canfd_frame &frame : frames) {
        for (;;) {
            ssize_t written = write(s, &frame, sizeof(frame));
            if (written == static_cast<ssize_t>(sizeof(frame))) {
                break;
            }
            if (written >= 0) {
                errno = EIO;
                return false;
            }
            if (errno == ENOBUFS) {
                usleep(1000); // as canfd-flash waits out a full transmit queue
            } else if (errno != EINTR) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string imagePath;
    std::string interface = "can0";
    std::string readyPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--image") {
            imagePath = argv[i + 1];
        } else if (option == "--interface") {
            interface = argv[i + 1];
        } else if (option == "--ready") {
            readyPath = argv[i + 1];
        } else {
            imagePath.clear();
            break;
        }
    }
    if (imagePath.empty() || argc % 2 == 0) {
        fprintf(stderr, "Usage: %s --image PATH [--interface NAME] [--ready FILE]\n", argv[0]);
        return 2;
    }
    std::ifstream in(imagePath, std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (image.empty() || image.size() >= (1u << 24)) {
        fprintf(stderr, "bench-bare-loop: %s: unreadable, empty or too large\n", imagePath.c_str());
        return 1;
    }
    const int s = openSocket(interface);
    if (s < 0) {
        return fail("CAN socket on " + interface);
    }
    if (!readyPath.empty() && !std::ofstream(readyPath)) {
        return fail("cannot create " + readyPath);
    }

    std::vector<canfd_frame> frames;
    frames.reserve(1u << 16);
    for (;;) {
        canfd_frame request;
        ssize_t got = read(s, &request, sizeof(request));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < static_cast<ssize_t>(offsetof(canfd_frame, data)) + 8) {
            if (got < 0) {
                return fail("read");
            }
            continue;
        }
        if (can_id_from_value(request.can_id & CAN_EFF_MASK).id.msgType != firmwareBlockRequest) {
            continue;
        }
        const canMessageFirmwareUpdateRequest ask = decodeFirmwareUpdateRequest(request.data);
        if (ask.bootloaderVersion != 0 || ask.fileOffset >= image.size()) {
            continue;
        }
        buildAnswer(image, ask.fileOffset, ask.lengthRequested, frames);
        if (!writeAll(s, frames)) {
            return fail("write");
        }
        if (ask.fileOffset + ask.lengthRequested >= image.size()) {
            close(s);
            return 0;
        }
    }
}
