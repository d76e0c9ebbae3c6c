// Proves the guest's SocketCAN: two raw CAN FD sockets on one interface exchange a full-size
// CAN FD frame. Exit 0 on success; any failure prints the reason and exits 1.
#include <cerrno>
#include <cstdio>
#include <cstring>
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

} // namespace

int main(int argc, char **argv) {
    const char *ifname = argc > 1 ? argv[1] : "can0";
    int tx = open_fd_socket(ifname);
    int rx = open_fd_socket(ifname);
    if (tx < 0 || rx < 0)
        return 1;

    canfd_frame out{};
    out.can_id = 0x123;
    out.len = CANFD_MAX_DLEN;
    out.flags = CANFD_BRS;
    for (unsigned i = 0; i < CANFD_MAX_DLEN; ++i)
        out.data[i] = static_cast<__u8>(i * 7 + 1);
    ssize_t n = write(tx, &out, sizeof out);
    if (n != static_cast<ssize_t>(CANFD_MTU)) {
        fail("write returned " + std::to_string(n));
        return 1;
    }

    pollfd p{rx, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) {
        fail("no frame within 2 s");
        return 1;
    }
    canfd_frame in{};
    n = read(rx, &in, sizeof in);
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
