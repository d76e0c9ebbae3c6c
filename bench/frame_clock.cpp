// bench-frame-clock: times a block stream on a CAN interface from the kernel's receive
// timestamps, so that how soon this program gets to run does not count. It listens only to
// firmwareBlockResponse frames and stops at the one that carries the image's last byte.
//
// Usage: bench-frame-clock [--interface NAME] [--ready FILE] [--timeout-s S]
// Prints "blocks N first_ns F last_ns L" (CLOCK_REALTIME of the first and the last block) and
// exits 0; exits 1 when frames were dropped or the stream did not end in time, 2 on bad usage.
#include "TavoMessages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int batch = 64;
// Holds a whole 1 MiB upload should this program fall behind (SO_RCVBUFFORCE needs root).
constexpr int receiveBuffer = 32 * 1024 * 1024;

int fail(const std::string &what) {
    fprintf(stderr, "bench-frame-clock: %s: %s\n", what.c_str(), strerror(errno));
    return 1;
}

int openSocket(const std::string &interface) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        return -1;
    }
    const int on = 1;
    can_filter blocks;
    blocks.can_id = (static_cast<canid_t>(firmwareBlockResponse) << 16) | CAN_EFF_FLAG;
    blocks.can_mask = (0x1FFFu << 16) | CAN_EFF_FLAG | CAN_RTR_FLAG;
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof(on)) < 0 ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &blocks, sizeof(blocks)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)) < 0 ||
        (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof(receiveBuffer)) < 0 &&
         setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer)) < 0) ||
        ioctl(s, SIOCGIFINDEX, &ifr) < 0 ||
        (addr.can_ifindex = ifr.ifr_ifindex,
         bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0)) {
        close(s);
        return -1;
    }
    return s;
}

uint32_t word(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

int64_t nanoseconds(const timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Reading {
    canfd_frame frame;
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
};

} // namespace

int main(int argc, char **argv) {
    std::string interface = "can0";
    std::string readyPath;
    long timeoutS = 60;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            timeoutS = 0;
        } else if (option == "--interface") {
            interface = argv[i + 1];
        } else if (option == "--ready") {
            readyPath = argv[i + 1];
        } else if (option == "--timeout-s") {
            timeoutS = strtol(argv[i + 1], nullptr, 10);
        } else {
            timeoutS = 0;
        }
    }
    if (timeoutS <= 0) {
        fprintf(stderr, "Usage: %s [--interface NAME] [--ready FILE] [--timeout-s S]\n", argv[0]);
        return 2;
    }
    const int s = openSocket(interface);
    if (s < 0) {
        return fail("CAN socket on " + interface);
    }
    if (!readyPath.empty() && !std::ofstream(readyPath)) {
        return fail("cannot create " + readyPath);
    }

    static Reading readings[batch];
    static mmsghdr messages[batch];
    uint64_t blocks = 0;
    int64_t first = 0;
    int64_t last = 0;
    uint32_t dropped = 0;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        for (int i = 0; i < batch; i++) {
            readings[i].iov = {&readings[i].frame, sizeof(canfd_frame)};
            msghdr &header = messages[i].msg_hdr;
            memset(&header, 0, sizeof(header));
            header.msg_iov = &readings[i].iov;
            header.msg_iovlen = 1;
            header.msg_control = readings[i].control;
            header.msg_controllen = sizeof(readings[i].control);
        }
        int count = recvmmsg(s, messages, batch, MSG_DONTWAIT, nullptr);
        if (count < 0 && errno != EAGAIN && errno != EINTR) {
            return fail("recvmmsg");
        }
        for (int i = 0; i < count; i++) {
            msghdr &header = messages[i].msg_hdr;
            int64_t stamp = 0;
            for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                    timespec t;
                    memcpy(&t, CMSG_DATA(c), sizeof(t));
                    stamp = nanoseconds(t);
                } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    memcpy(&dropped, CMSG_DATA(c), sizeof(dropped));
                }
            }
            const canfd_frame &frame = readings[i].frame;
            if (messages[i].msg_len != sizeof(canfd_frame) || frame.len < 8) {
                continue;
            }
            if (blocks++ == 0) {
                first = stamp;
            }
            last = stamp;
            const uint32_t head = word(frame.data);
            const uint32_t end = (head & fieldMask24) + ((head >> 24) & 0x3F);
            if (end == (word(frame.data + 4) & fieldMask24)) {
                if (dropped != 0) {
                    fprintf(stderr, "bench-frame-clock: %u frames dropped\n", dropped);
                    return 1;
                }
                printf("blocks %llu first_ns %lld last_ns %lld\n",
                       static_cast<unsigned long long>(blocks), static_cast<long long>(first),
                       static_cast<long long>(last));
                return 0;
            }
        }
        if (count > 0) {
            continue;
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= timeoutS) {
            fprintf(stderr, "bench-frame-clock: no last block after %ld s (%llu blocks seen)\n",
                    timeoutS, static_cast<unsigned long long>(blocks));
            return 1;
        }
        pollfd wait = {s, POLLIN, 0};
        poll(&wait, 1, 200);
    }
}
