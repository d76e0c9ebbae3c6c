// e2e-capture: records every frame on the guest's CAN interfaces with its kernel timestamp, and
// puts single hand-made frames on the bus. It is the end-to-end suite's own witness of what
// crossed the bus, independent of both the flasher and the simulated board.
//
//   e2e-capture capture OUTFILE [--ready FILE] [--interface IFACE]
//                                                record until SIGTERM or SIGINT; with --interface,
//                                                only the frames that IFACE received or sent
//   e2e-capture send IFACE ID HEXDATA [fd|brs|err]
//                                                send one frame (ID with 8 hex digits: extended;
//                                                fd: CAN FD, brs: CAN FD with bit-rate switch;
//                                                err: an error frame as a controller reports one,
//                                                ID its error classes, HEXDATA its 8 bytes)
//   e2e-capture flood IFACE ID HEXDATA COUNT PER_SECOND
//                                                another node's traffic: COUNT classic frames,
//                                                PER_SECOND of them each second
//   e2e-capture link IFACE OUTFILE
//                                                ask the kernel for IFACE's link (RTM_GETLINK, as
//                                                the flasher asks) and write the reply's raw bytes
//
// The record format is described in capture_log.h.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

int fail(const char *what) {
    std::fprintf(stderr, "e2e-capture: %s: %s\n", what, std::strerror(errno));
    return 1;
}

int openRawSocket() {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        return -1;
    }
    int on = 1;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        close(s);
        return -1;
    }
    return s;
}

// Bound to every CAN interface (index 0), so the capture survives can0 being deleted, recreated
// or taken down, which the start-up scenarios do on purpose.
int openCaptureSocket() {
    int s = openRawSocket();
    if (s < 0) {
        return -1;
    }
    int on = 1;
    int buffer = 8 * 1024 * 1024;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) {
        close(s);
        return -1;
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        close(s);
        return -1;
    }
    return s;
}

struct Received {
    canfd_frame frame{};
    int interfaceIndex = 0;
    ssize_t size = 0;
    timespec stamp{};
    uint32_t dropped = 0; // the kernel's running count of frames lost to a full queue
};

// Returns false when no frame is waiting (EAGAIN) or the read failed (errno set).
bool receive(int s, Received &out) {
    iovec io{&out.frame, sizeof out.frame};
    sockaddr_can from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    out.size = recvmsg(s, &message, MSG_DONTWAIT);
    if (out.size < 0) {
        return false;
    }
    out.interfaceIndex = from.can_ifindex;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SO_TIMESTAMPNS) {
            std::memcpy(&out.stamp, CMSG_DATA(c), sizeof out.stamp);
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&out.dropped, CMSG_DATA(c), sizeof out.dropped);
        }
    }
    return true;
}

void writeRecord(FILE *log, const Received &r) {
    const bool fd = r.size == static_cast<ssize_t>(CANFD_MTU);
    const unsigned len = r.frame.len > CANFD_MAX_DLEN ? CANFD_MAX_DLEN : r.frame.len;
    std::fprintf(log, "%lld.%09ld %c %08X %02X %u", static_cast<long long>(r.stamp.tv_sec),
                 static_cast<long>(r.stamp.tv_nsec), fd ? 'F' : 'C', r.frame.can_id,
                 fd ? r.frame.flags : 0, len);
    if (len > 0) {
        std::fputc(' ', log);
    }
    for (unsigned i = 0; i < len; ++i) {
        std::fprintf(log, "%02X", r.frame.data[i]);
    }
    std::fputc('\n', log);
}

// Where two controllers share one bus, a frame shows up on both: echoed on the interface that
// sent it and received on the other. Recording one interface keeps each frame once.
int capture(const char *path, const char *readyPath, const char *interface) {
    FILE *log = std::fopen(path, "w");
    if (log == nullptr) {
        return fail(path);
    }
    int s = openCaptureSocket();
    if (s < 0) {
        return fail("CAN capture socket");
    }
    int onlyIndex = 0;
    if (interface != nullptr) {
        ifreq request{};
        std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
        if (ioctl(s, SIOCGIFINDEX, &request) < 0) {
            return fail(interface);
        }
        onlyIndex = request.ifr_ifindex;
    }
    struct sigaction action {};
    action.sa_handler = onStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::fprintf(log, "# e2e-capture on %s\n",
                 interface != nullptr ? interface : "all CAN interfaces");
    if (readyPath != nullptr) {
        FILE *ready = std::fopen(readyPath, "w");
        if (ready == nullptr) {
            return fail(readyPath);
        }
        std::fclose(ready);
    }

    unsigned long frames = 0;
    uint32_t dropped = 0;
    bool draining = false;
    for (;;) {
        Received r;
        if (receive(s, r)) {
            if (onlyIndex != 0 && r.interfaceIndex != onlyIndex) {
                dropped = r.dropped;
                continue;
            }
            if (r.size == static_cast<ssize_t>(CAN_MTU) ||
                r.size == static_cast<ssize_t>(CANFD_MTU)) {
                writeRecord(log, r);
                ++frames;
            } else {
                std::fprintf(log, "# record of %zd bytes\n", r.size);
            }
            dropped = r.dropped;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // A socket error (an interface going down) is reported once; capturing goes on.
            std::fprintf(log, "# read error: %s\n", std::strerror(errno));
        }
        if (draining) {
            break;
        }
        pollfd p{s, POLLIN, 0};
        poll(&p, 1, 100);
        // One last pass over what is already queued once a stop was asked for.
        draining = stopRequested != 0;
    }
    std::fprintf(log, "# end frames=%lu dropped=%u\n", frames, dropped);
    close(s);
    return std::fclose(log) == 0 ? 0 : fail(path);
}

bool parseHex(const std::string &text, uint8_t *out, size_t capacity, size_t &count) {
    if (text.size() % 2 != 0 || text.size() / 2 > capacity) {
        return false;
    }
    count = text.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        char *end = nullptr;
        const std::string pair = text.substr(2 * i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return false;
        }
        out[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// An error frame is a classic frame of CAN_ERR_DLC bytes whose identifier holds CAN_ERR_FLAG and
// the error classes; raw sockets deliver it only to those that asked for it (CAN_RAW_ERR_FILTER).
bool buildFrame(const std::string &id, const std::string &data, const std::string &kind,
                canfd_frame &frame) {
    const bool fd = kind == "fd" || kind == "brs";
    const bool error = kind == "err";
    frame = canfd_frame{};
    frame.flags = kind == "brs" ? CANFD_BRS : 0;
    char *end = nullptr;
    frame.can_id = static_cast<canid_t>(std::strtoul(id.c_str(), &end, 16));
    if (id.empty() || *end != '\0' || (error && (frame.can_id & ~CAN_ERR_MASK) != 0)) {
        std::fprintf(stderr, "e2e-capture: bad identifier '%s'\n", id.c_str());
        return false;
    }
    if (error) {
        frame.can_id |= CAN_ERR_FLAG;
    } else if (id.size() == 8) {
        frame.can_id |= CAN_EFF_FLAG;
    }
    size_t count = 0;
    if (!parseHex(data == "-" ? "" : data, frame.data, fd ? CANFD_MAX_DLEN : CAN_MAX_DLEN, count) ||
        (error && count != CAN_ERR_DLC)) {
        std::fprintf(stderr, "e2e-capture: bad data '%s'\n", data.c_str());
        return false;
    }
    frame.len = static_cast<uint8_t>(count);
    return true;
}

int openBoundSocket(const char *interface) {
    int s = openRawSocket();
    if (s < 0) {
        fail("CAN socket");
        return -1;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
    if (ioctl(s, SIOCGIFINDEX, &request) < 0) {
        fail(interface);
        close(s);
        return -1;
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        fail("bind");
        close(s);
        return -1;
    }
    return s;
}

int send(const char *interface, const std::string &id, const std::string &data,
         const std::string &kind) {
    canfd_frame frame;
    if (!buildFrame(id, data, kind, frame)) {
        return 2;
    }
    int s = openBoundSocket(interface);
    if (s < 0) {
        return 1;
    }
    const size_t size = kind == "fd" || kind == "brs" ? CANFD_MTU : CAN_MTU;
    if (write(s, &frame, size) != static_cast<ssize_t>(size)) {
        return fail("write");
    }
    close(s);
    return 0;
}

// Paced by an absolute clock, so that a late frame does not slow the rest; a full transmit
// queue is waited out.
int flood(const char *interface, const std::string &id, const std::string &data,
          const std::string &countText, const std::string &rateText) {
    canfd_frame frame;
    const unsigned long count = std::strtoul(countText.c_str(), nullptr, 10);
    const unsigned long perSecond = std::strtoul(rateText.c_str(), nullptr, 10);
    if (!buildFrame(id, data, "", frame) || count == 0 || perSecond == 0) {
        return 2;
    }
    int s = openBoundSocket(interface);
    if (s < 0) {
        return 1;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long gap = 1000000000L / static_cast<long>(perSecond);
    for (unsigned long sent = 0; sent < count && stopRequested == 0;) {
        if (write(s, &frame, CAN_MTU) == static_cast<ssize_t>(CAN_MTU)) {
            ++sent;
        } else if (errno != ENOBUFS && errno != EINTR) {
            return fail("write");
        }
        next.tv_nsec += gap;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    close(s);
    return 0;
}

// The same request as the flasher's: one ifinfomsg with the index, no attributes. The reply is
// kept byte for byte, so the unit tests can parse what each architecture's kernel really sends.
int saveLink(const char *interface, const char *path) {
    const unsigned index = if_nametoindex(interface);
    if (index == 0) {
        return fail(interface);
    }
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.link);
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = static_cast<int>(index);
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) {
        return fail("netlink socket");
    }
    if (::send(s, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        return fail("netlink send");
    }
    static uint8_t reply[65536];
    const ssize_t size = recv(s, reply, sizeof reply, 0);
    if (size < 0) {
        return fail("netlink receive");
    }
    close(s);
    FILE *out = std::fopen(path, "wb");
    if (out == nullptr ||
        std::fwrite(reply, 1, static_cast<size_t>(size), out) != static_cast<size_t>(size)) {
        return fail(path);
    }
    return std::fclose(out) == 0 ? 0 : fail(path);
}

int usage() {
    std::fprintf(stderr, "usage: e2e-capture capture OUTFILE [--ready FILE] [--interface IFACE]\n"
                         "       e2e-capture send IFACE ID HEXDATA|- [fd|brs|err]\n"
                         "       e2e-capture flood IFACE ID HEXDATA COUNT PER_SECOND\n"
                         "       e2e-capture link IFACE OUTFILE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "capture" && argc >= 3 && argc % 2 == 1) {
        const char *ready = nullptr;
        const char *interface = nullptr;
        for (int i = 3; i < argc; i += 2) {
            const std::string option = argv[i];
            if (option == "--ready") {
                ready = argv[i + 1];
            } else if (option == "--interface") {
                interface = argv[i + 1];
            } else {
                return usage();
            }
        }
        return capture(argv[2], ready, interface);
    }
    const std::string kind = argc == 6 ? argv[5] : "";
    if (mode == "send" &&
        (argc == 5 || (argc == 6 && (kind == "fd" || kind == "brs" || kind == "err")))) {
        return send(argv[2], argv[3], argv[4], kind);
    }
    if (mode == "flood" && argc == 7) {
        return flood(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    if (mode == "link" && argc == 4) {
        return saveLink(argv[2], argv[3]);
    }
    return usage();
}
