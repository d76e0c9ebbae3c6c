// Proves the guest's SocketCAN and measures what the bus does with frames. Exit 0 on success; any
// failure prints the reason and exits 1.
//
//   can_pair IFACE             two raw CAN FD sockets on IFACE exchange a full-size CAN FD frame
//   can_pair IFACE_A IFACE_B   a classic and a CAN FD frame (with bit rate switch) cross from A
//                              to B and back, and FD frames of 9 and 36 bytes arrive as a
//                              controller sends them: rounded up to the next FD length (12, 48)
//   can_pair --short-read IFACE_A [IFACE_B]
//                              sends a 64-byte FD frame with CANFD_BRS from A, reads it on B (on
//                              A when B is left out) into a 16-byte buffer, prints what read()
//                              returned and the byte at offset 5 (an FD record's flags byte)
//   can_pair --burst N IFACE_A IFACE_B
//                              sends N 64-byte FD frames from A back to back (retrying a write
//                              that meets a full transmit queue), prints how many arrived on B,
//                              in order or not, and B's error counters
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int fail(const std::string &what) {
    std::fprintf(stderr, "can_pair: %s: %s\n", what.c_str(), std::strerror(errno));
    return -1;
}

int differs(const std::string &what) {
    std::fprintf(stderr, "can_pair: %s\n", what.c_str());
    return -1;
}

int open_fd_socket(const char *ifname) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0)
        return fail("socket(PF_CAN)");
    int on = 1;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0)
        return fail("CAN_RAW_FD_FRAMES");
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0)
        return fail(std::string("SIOCGIFINDEX ") + ifname);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        return fail("bind");
    return s;
}

// Reads one record of up to SIZE bytes into BUF; returns what read() returned, -1 on a failure.
ssize_t receive(int s, void *buf, size_t size, int timeout_ms = 2000) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) {
        errno = ETIMEDOUT;
        return fail("no frame within " + std::to_string(timeout_ms) + " ms");
    }
    ssize_t n = read(s, buf, size);
    if (n < 0)
        return fail("read");
    return n;
}

canfd_frame fd_frame(canid_t id, unsigned len, unsigned seed) {
    canfd_frame f{};
    f.can_id = id;
    f.len = static_cast<__u8>(len);
    f.flags = CANFD_BRS;
    for (unsigned i = 0; i < len; ++i)
        f.data[i] = static_cast<__u8>(i * 7 + seed);
    return f;
}

// The length a controller puts on the wire for LEN data bytes: the next valid CAN FD length.
unsigned fd_wire_len(unsigned len) {
    static const unsigned valid[] = {12, 16, 20, 24, 32, 48, 64};
    if (len <= 8)
        return len;
    for (unsigned v : valid)
        if (len <= v)
            return v;
    return CANFD_MAX_DLEN;
}

int loopback(const char *ifname) {
    int tx = open_fd_socket(ifname);
    int rx = open_fd_socket(ifname);
    if (tx < 0 || rx < 0)
        return 1;
    canfd_frame out = fd_frame(0x123, CANFD_MAX_DLEN, 1);
    ssize_t n = write(tx, &out, sizeof out);
    if (n != static_cast<ssize_t>(CANFD_MTU)) {
        fail("write returned " + std::to_string(n));
        return 1;
    }
    canfd_frame in{};
    n = receive(rx, &in, sizeof in);
    if (n < 0)
        return 1;
    if (n != static_cast<ssize_t>(CANFD_MTU)) {
        fail("read returned " + std::to_string(n));
        return 1;
    }
    if (in.can_id != out.can_id || in.len != out.len ||
        std::memcmp(in.data, out.data, CANFD_MAX_DLEN) != 0) {
        std::fprintf(stderr, "can_pair: received frame differs from the one sent\n");
        return 1;
    }
    std::printf("can_pair: %zd-byte CAN FD frame id 0x%x len %u exchanged on %s\n", n, in.can_id,
                static_cast<unsigned>(in.len), ifname);
    close(tx);
    close(rx);
    return 0;
}

int classic_across(int tx, int rx, const std::string &path) {
    can_frame out{};
    out.can_id = 0x2a5;
    out.len = CAN_MAX_DLEN;
    for (unsigned i = 0; i < CAN_MAX_DLEN; ++i)
        out.data[i] = static_cast<__u8>(0xa0 + i);
    if (write(tx, &out, sizeof out) != static_cast<ssize_t>(CAN_MTU))
        return fail("write of a classic frame " + path);
    canfd_frame in{};
    ssize_t n = receive(rx, &in, sizeof in);
    if (n < 0)
        return -1;
    if (n != static_cast<ssize_t>(CAN_MTU))
        return differs("classic frame " + path + ": read returned " + std::to_string(n));
    if (in.can_id != out.can_id || in.len != out.len ||
        std::memcmp(in.data, out.data, CAN_MAX_DLEN) != 0)
        return differs("classic frame " + path + ": received frame differs from the one sent");
    std::printf("can_pair: classic frame id 0x%x len %u %s\n", in.can_id,
                static_cast<unsigned>(in.len), path.c_str());
    return 0;
}

int fd_across(int tx, int rx, unsigned len, const std::string &path) {
    canfd_frame out = fd_frame(0x1b4, len, len);
    if (write(tx, &out, sizeof out) != static_cast<ssize_t>(CANFD_MTU))
        return fail("write of an FD frame " + path);
    canfd_frame in{};
    ssize_t n = receive(rx, &in, sizeof in);
    if (n < 0)
        return -1;
    std::string what = "FD frame of " + std::to_string(len) + " bytes " + path;
    if (n != static_cast<ssize_t>(CANFD_MTU))
        return differs(what + ": read returned " + std::to_string(n));
    if (in.can_id != out.can_id || std::memcmp(in.data, out.data, len) != 0)
        return differs(what + ": id or data differ from the frame sent");
    if (in.len != fd_wire_len(len))
        return differs(what + ": arrived with length " + std::to_string(in.len) + ", not " +
                       std::to_string(fd_wire_len(len)));
    if (!(in.flags & CANFD_BRS))
        return differs(what + ": arrived without CANFD_BRS");
    std::printf("can_pair: FD frame id 0x%x len %u arrives with len %u, BRS %s\n", in.can_id, len,
                static_cast<unsigned>(in.len), path.c_str());
    return 0;
}

int across(const char *a, const char *b) {
    int sa = open_fd_socket(a);
    int sb = open_fd_socket(b);
    if (sa < 0 || sb < 0)
        return 1;
    std::string ab = std::string("from ") + a + " to " + b;
    std::string ba = std::string("from ") + b + " to " + a;
    if (classic_across(sa, sb, ab) < 0 || classic_across(sb, sa, ba) < 0 ||
        fd_across(sa, sb, CANFD_MAX_DLEN, ab) < 0 || fd_across(sb, sa, CANFD_MAX_DLEN, ba) < 0 ||
        fd_across(sa, sb, 9, ab) < 0 || fd_across(sa, sb, 36, ab) < 0)
        return 1;
    close(sa);
    close(sb);
    return 0;
}

int short_read(const char *a, const char *b) {
    int tx = open_fd_socket(a);
    int rx = open_fd_socket(b);
    if (tx < 0 || rx < 0)
        return 1;
    canfd_frame out = fd_frame(0x321, CANFD_MAX_DLEN, 3);
    if (write(tx, &out, sizeof out) != static_cast<ssize_t>(CANFD_MTU)) {
        fail("write");
        return 1;
    }
    unsigned char buf[16];
    std::memset(buf, 0xee, sizeof buf);
    ssize_t n = receive(rx, buf, sizeof buf);
    if (n < 0)
        return 1;
    std::printf("can_pair: 16-byte read of a 64-byte FD frame sent with CANFD_BRS from %s on %s: "
                "read returned %zd, byte 5 = 0x%02x\n",
                a, b, n, buf[5]);
    return 0;
}

unsigned long counter(const char *ifname, const char *name) {
    std::ifstream f(std::string("/sys/class/net/") + ifname + "/statistics/" + name);
    unsigned long v = 0;
    f >> v;
    return v;
}

int burst(unsigned count, const char *a, const char *b) {
    int tx = open_fd_socket(a);
    int rx = open_fd_socket(b);
    if (tx < 0 || rx < 0)
        return 1;
    // The socket must not be what drops frames: make its buffer hold the whole burst.
    int rcvbuf = 16 << 20;
    if (setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0) {
        fail("SO_RCVBUFFORCE");
        return 1;
    }
    unsigned long rx_errors = counter(b, "rx_errors");
    unsigned long rx_over = counter(b, "rx_over_errors");
    unsigned long full = 0;
    for (unsigned i = 0; i < count; ++i) {
        canfd_frame out = fd_frame(0x100, CANFD_MAX_DLEN, i);
        std::memcpy(out.data, &i, sizeof i);
        while (write(tx, &out, sizeof out) < 0) {
            if (errno != ENOBUFS) {
                fail("write");
                return 1;
            }
            ++full;
            usleep(1000);
        }
    }
    unsigned received = 0, in_order = 0, errors = 0;
    unsigned next = 0;
    canfd_frame in{};
    // Done when every frame is in, or when none came for 2 s.
    while (received < count) {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1)
            break;
        if (read(rx, &in, sizeof in) < 0) {
            fail("read");
            return 1;
        }
        if (in.can_id & CAN_ERR_FLAG) {
            ++errors;
            continue;
        }
        unsigned seq;
        std::memcpy(&seq, in.data, sizeof seq);
        ++received;
        if (seq == next)
            ++in_order;
        next = seq + 1;
    }
    std::printf("can_pair: burst of %u FD frames of 64 bytes from %s: %lu writes met a full queue; "
                "%u arrived on %s (%u right after their predecessor), %u error frames; %s "
                "rx_errors +%lu, rx_over_errors +%lu\n",
                count, a, full, received, b, in_order, errors, b,
                counter(b, "rx_errors") - rx_errors, counter(b, "rx_over_errors") - rx_over);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--short-read" && (argc == 3 || argc == 4))
        return short_read(argv[2], argv[argc - 1]);
    if (mode == "--burst" && argc == 5)
        return burst(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)), argv[3], argv[4]);
    if (argc == 3 && mode[0] != '-')
        return across(argv[1], argv[2]);
    if (argc <= 2 && mode[0] != '-')
        return loopback(argc > 1 ? argv[1] : "can0");
    std::fprintf(stderr, "usage: can_pair [IFACE [IFACE_B]] | --short-read IFACE_A [IFACE_B] | "
                         "--burst N IFACE_A IFACE_B\n");
    return 2;
}
