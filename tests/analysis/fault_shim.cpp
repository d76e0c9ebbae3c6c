// LD_PRELOAD shim that lets the real canfd-flash run on a host without CAN and fails chosen
// system calls. Environment:
//   CANFD_FAULT_BUS_FD   descriptor of a socketpair end that the first socket(PF_CAN, ...) hands
//                        out; the CAN ioctls, bind and setsockopt on it are faked, and its CAN
//                        filters are not applied: every frame of the board arrives there. Later
//                        sockets (the board's own, the controller's error frames, the blocks')
//                        get a quiet socketpair end each, whose writes go to the bus as well
//   CANFD_FAULT_LINK_REPLY  file holding a recorded reply to RTM_GETLINK, which every netlink
//                        socket then answers with (default: netlink sockets are refused, as on a
//                        kernel that cannot be asked)
//   CANFD_FAULT_ECHO     when set, a socket that asked for its own frames (CAN_RAW_RECV_OWN_MSGS)
//                        gets each frame it writes back, marked MSG_CONFIRM, as from a driver
//                        whose controller sent it
//   CANFD_FAULT_NO_MEMINFO  when set, SO_MEMINFO is refused on the bus's sockets
//   CANFD_FAULT_IMAGE    file opened in place of /opt/klipper.bin
//   CANFD_FAULT_MTU      MTU that SIOCGIFMTU reports (default 72)
//   CANFD_FAULT_DOWN     when set, SIOCGIFFLAGS reports can0 down
//   CANFD_FAULT_LOCK_TAG appended to the abstract name of the run's lock on can0 (bind and
//                        connect), which makes it the lock of an interface "can0<tag>". The
//                        fault tests run in parallel, each starting the real canfd-flash on
//                        its own fake can0: with a tag of its own per test, they never refuse
//                        each other, and a test can hold its run's lock as another run would.
//   CANFD_FAULT_CALL     open, fstat, pread, socket, setsockopt_sndbuf, ioctl_ifindex, bind,
//                        setsockopt_fd_frames, ioctl_mtu, ioctl_flags, read (read or recvmsg),
//                        write or bind_lock (the bind of the lock's name)
//   CANFD_FAULT_NTH      the first call to fail, counted from 1 (default 1)
//   CANFD_FAULT_COUNT    how many calls in a row fail (default 1)
//   CANFD_FAULT_ERRNO    the errno they fail with
// Only calls on the image, the bus or the lock are counted and failed; everything else passes
// through.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char imagePath[] = "/opt/klipper.bin";
const int fakeInterfaceIndex = 7;

int imageFd = -1;
int quietFds[4] = {-1, -1, -1, -1};
// The other end of each quiet socket, and whether that socket takes its own frames back.
int quietPeers[4] = {-1, -1, -1, -1};
bool ownFramesWanted[4] = {false, false, false, false};
int netlinkFds[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
int netlinkPeers[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

int envNumber(const char *name, int fallback) {
    const char *text = getenv(name);
    return text != nullptr && *text != '\0' ? atoi(text) : fallback;
}

int busFd() {
    return envNumber("CANFD_FAULT_BUS_FD", -1);
}

bool isBus(int fd) {
    if (fd < 0) {
        return false;
    }
    for (int quiet : quietFds) {
        if (fd == quiet) {
            return true;
        }
    }
    return fd == busFd();
}

int quietIndex(int fd) {
    for (int i = 0; i < 4; i++) {
        if (fd >= 0 && quietFds[i] == fd) {
            return i;
        }
    }
    return -1;
}

int netlinkIndex(int fd) {
    for (int i = 0; i < 8; i++) {
        if (fd >= 0 && netlinkFds[i] == fd) {
            return i;
        }
    }
    return -1;
}

// Counts one call of `name`; true (with errno set) when this call is to fail.
bool failsNow(const char *name) {
    static int calls[16];
    static const char *const names[] = {
        "open",      "fstat", "pread", "socket",    "setsockopt_sndbuf",    "ioctl_ifindex",
        "bind",      "read",  "write", "ioctl_mtu", "setsockopt_fd_frames", "ioctl_flags",
        "bind_lock",
    };
    const char *chosen = getenv("CANFD_FAULT_CALL");
    size_t index = 0;
    while (index < sizeof(names) / sizeof(names[0]) && strcmp(names[index], name) != 0) {
        index++;
    }
    int call = ++calls[index];
    if (chosen == nullptr || strcmp(chosen, name) != 0) {
        return false;
    }
    int first = envNumber("CANFD_FAULT_NTH", 1);
    if (call < first || call >= first + envNumber("CANFD_FAULT_COUNT", 1)) {
        return false;
    }
    errno = envNumber("CANFD_FAULT_ERRNO", EIO);
    return true;
}

template <typename Function> Function next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int openImage(const char *realName, const char *path, int flags, mode_t mode) {
    using Open = int (*)(const char *, int, ...);
    if (strcmp(path, imagePath) != 0) {
        return next<Open>(realName)(path, flags, mode);
    }
    if (failsNow("open")) {
        return -1;
    }
    const char *replacement = getenv("CANFD_FAULT_IMAGE");
    imageFd = next<Open>(realName)(replacement != nullptr ? replacement : path, flags, mode);
    return imageFd;
}

// The abstract name that canfd-flash binds as its lock on can0, leading NUL included.
const char lockName[] = "\0canfd-flash can0";
const size_t lockNameLength = sizeof(lockName) - 1;

// The lock's name comes back tagged (in tagged, with length updated); any other address as
// it is.
const sockaddr *tagLock(const sockaddr *address, socklen_t *length, sockaddr_un *tagged) {
    const char *tag = getenv("CANFD_FAULT_LOCK_TAG");
    const size_t pathOffset = offsetof(sockaddr_un, sun_path);
    if (tag == nullptr || *length != pathOffset + lockNameLength || address->sa_family != AF_UNIX ||
        memcmp(reinterpret_cast<const sockaddr_un *>(address)->sun_path, lockName,
               lockNameLength) != 0) {
        return address;
    }
    memset(tagged, 0, sizeof(*tagged));
    tagged->sun_family = AF_UNIX;
    int used =
        snprintf(tagged->sun_path + 1, sizeof(tagged->sun_path) - 1, "%s%s", lockName + 1, tag);
    *length = static_cast<socklen_t>(pathOffset + 1 + static_cast<size_t>(used));
    return reinterpret_cast<const sockaddr *>(tagged);
}

mode_t modeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openImage("open", path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openImage("open64", path, flags, mode);
}

int fstat(int fd, struct stat *status) noexcept {
    if (fd == imageFd && failsNow("fstat")) {
        return -1;
    }
    return next<int (*)(int, struct stat *)>("fstat")(fd, status);
}

int fstat64(int fd, struct stat64 *status) noexcept {
    if (fd == imageFd && failsNow("fstat")) {
        return -1;
    }
    return next<int (*)(int, struct stat64 *)>("fstat64")(fd, status);
}

ssize_t pread(int fd, void *into, size_t length, off_t offset) {
    if (fd == imageFd && failsNow("pread")) {
        return -1;
    }
    return next<ssize_t (*)(int, void *, size_t, off_t)>("pread")(fd, into, length, offset);
}

ssize_t pread64(int fd, void *into, size_t length, off64_t offset) {
    if (fd == imageFd && failsNow("pread")) {
        return -1;
    }
    return next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64")(fd, into, length, offset);
}

int socket(int domain, int type, int protocol) noexcept {
    // Without a recorded reply the fake can0 has no CAN settings to tell, as on a kernel that
    // cannot be asked.
    if (domain == AF_NETLINK) {
        int ends[2];
        if (getenv("CANFD_FAULT_LINK_REPLY") == nullptr ||
            socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends) != 0) {
            errno = EAFNOSUPPORT;
            return -1;
        }
        for (int i = 0; i < 8; i++) {
            if (netlinkFds[i] < 0) {
                netlinkFds[i] = ends[0];
                netlinkPeers[i] = ends[1];
                return ends[0];
            }
        }
        errno = EMFILE;
        return -1;
    }
    if (domain != PF_CAN) {
        return next<int (*)(int, int, int)>("socket")(domain, type, protocol);
    }
    if (failsNow("socket")) {
        return -1;
    }
    if (type != SOCK_RAW || protocol != CAN_RAW || busFd() < 0) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    static bool busHandedOut = false;
    if (!busHandedOut) {
        busHandedOut = true;
        return busFd();
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        return -1;
    }
    for (int i = 0; i < 4; i++) {
        if (quietFds[i] < 0) {
            quietFds[i] = ends[0];
            quietPeers[i] = ends[1];
            break;
        }
    }
    return ends[0];
}

int setsockopt(int fd, int level, int option, const void *value, socklen_t length) noexcept {
    if (!isBus(fd)) {
        return next<int (*)(int, int, int, const void *, socklen_t)>("setsockopt")(
            fd, level, option, value, length);
    }
    if (level == SOL_SOCKET && option == SO_SNDBUF) {
        // The socketpair keeps its own buffer: a CAN-sized one would only stall the test.
        return failsNow("setsockopt_sndbuf") ? -1 : 0;
    }
    if (level == SOL_CAN_RAW && option == CAN_RAW_FD_FRAMES) {
        return failsNow("setsockopt_fd_frames") ? -1 : 0;
    }
    if (level == SOL_CAN_RAW && (option == CAN_RAW_FILTER || option == CAN_RAW_ERR_FILTER ||
                                 option == CAN_RAW_JOIN_FILTERS)) {
        return 0;
    }
    if (level == SOL_CAN_RAW && option == CAN_RAW_RECV_OWN_MSGS) {
        int quiet = quietIndex(fd);
        if (quiet >= 0 && length >= sizeof(int)) {
            ownFramesWanted[quiet] = *static_cast<const int *>(value) != 0;
        }
        return 0;
    }
    // The bound on a write that makes no progress, receive times, drop counts and the receive
    // queue are the kernel's own, on the socketpair too.
    if (level == SOL_SOCKET && (option == SO_SNDTIMEO || option == SO_TIMESTAMPNS ||
                                option == SO_RXQ_OVFL || option == SO_RCVBUF)) {
        return next<int (*)(int, int, int, const void *, socklen_t)>("setsockopt")(
            fd, level, option, value, length);
    }
    errno = ENOPROTOOPT;
    return -1;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (!isBus(fd)) {
        return next<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, argument);
    }
    ifreq *interface = static_cast<ifreq *>(argument);
    if (request == SIOCGIFINDEX) {
        if (failsNow("ioctl_ifindex")) {
            return -1;
        }
        if (strcmp(interface->ifr_name, "can0") != 0) {
            errno = ENODEV;
            return -1;
        }
        interface->ifr_ifindex = fakeInterfaceIndex;
        return 0;
    }
    if (request == SIOCGIFMTU) {
        if (failsNow("ioctl_mtu")) {
            return -1;
        }
        interface->ifr_mtu = envNumber("CANFD_FAULT_MTU", CANFD_MTU);
        return 0;
    }
    if (request == SIOCGIFFLAGS) {
        if (failsNow("ioctl_flags")) {
            return -1;
        }
        interface->ifr_flags = getenv("CANFD_FAULT_DOWN") != nullptr
                                   ? static_cast<short>(0)
                                   : static_cast<short>(IFF_UP | IFF_RUNNING);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

int bind(int fd, const sockaddr *address, socklen_t length) noexcept {
    using Bind = int (*)(int, const sockaddr *, socklen_t);
    sockaddr_un tagged;
    const sockaddr *to = tagLock(address, &length, &tagged);
    if (to != address) {
        return failsNow("bind_lock") ? -1 : next<Bind>("bind")(fd, to, length);
    }
    if (!isBus(fd)) {
        return next<Bind>("bind")(fd, address, length);
    }
    if (failsNow("bind")) {
        return -1;
    }
    const sockaddr_can *can = reinterpret_cast<const sockaddr_can *>(address);
    if (length < sizeof(sockaddr_can) || can->can_family != AF_CAN ||
        can->can_ifindex != fakeInterfaceIndex) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int connect(int fd, const sockaddr *address, socklen_t length) {
    if (netlinkIndex(fd) >= 0) {
        return 0;
    }
    sockaddr_un tagged;
    const sockaddr *to = tagLock(address, &length, &tagged);
    return next<int (*)(int, const sockaddr *, socklen_t)>("connect")(fd, to, length);
}

ssize_t read(int fd, void *into, size_t length) {
    if (isBus(fd) && failsNow("read")) {
        return -1;
    }
    return next<ssize_t (*)(int, void *, size_t)>("read")(fd, into, length);
}

ssize_t recvmsg(int fd, msghdr *message, int flags) {
    if (isBus(fd) && failsNow("read")) {
        return -1;
    }
    return next<ssize_t (*)(int, msghdr *, int)>("recvmsg")(fd, message, flags);
}

// What read() and pread() become in a build with _FORTIFY_SOURCE.
ssize_t __read_chk(int fd, void *into, size_t length, size_t room) {
    if (length > room) {
        abort();
    }
    return read(fd, into, length);
}

ssize_t __pread64_chk(int fd, void *into, size_t length, off64_t offset, size_t room) {
    if (length > room) {
        abort();
    }
    return pread64(fd, into, length, offset);
}

ssize_t write(int fd, const void *data, size_t length) {
    using Write = ssize_t (*)(int, const void *, size_t);
    if (isBus(fd) && failsNow("write")) {
        return -1;
    }
    int quiet = quietIndex(fd);
    if (quiet < 0) {
        return next<Write>("write")(fd, data, length);
    }
    // Every CAN socket sends on the one bus.
    ssize_t written = next<Write>("write")(busFd(), data, length);
    if (written > 0 && ownFramesWanted[quiet] && getenv("CANFD_FAULT_ECHO") != nullptr) {
        next<Write>("write")(quietPeers[quiet], data, static_cast<size_t>(written));
    }
    return written;
}

// Each frame a socket gets back is its own, as the kernel marks it.
int recvmmsg(int fd, mmsghdr *messages, unsigned int count, int flags, timespec *timeout) {
    using Receive = int (*)(int, mmsghdr *, unsigned int, int, timespec *);
    int received = next<Receive>("recvmmsg")(fd, messages, count, flags, timeout);
    int quiet = quietIndex(fd);
    for (int i = 0; quiet >= 0 && ownFramesWanted[quiet] && i < received; i++) {
        messages[i].msg_hdr.msg_flags |= MSG_CONFIRM;
    }
    return received;
}

int close(int fd) {
    int netlink = netlinkIndex(fd);
    if (netlink >= 0) {
        next<int (*)(int)>("close")(netlinkPeers[netlink]);
        netlinkFds[netlink] = -1;
        netlinkPeers[netlink] = -1;
    }
    return next<int (*)(int)>("close")(fd);
}

// A netlink request is answered with the recorded reply.
ssize_t send(int fd, const void *data, size_t length, int flags) {
    int netlink = netlinkIndex(fd);
    if (netlink < 0) {
        return next<ssize_t (*)(int, const void *, size_t, int)>("send")(fd, data, length, flags);
    }
    std::ifstream in(getenv("CANFD_FAULT_LINK_REPLY"), std::ios::binary);
    std::string reply((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (next<ssize_t (*)(int, const void *, size_t)>("write")(netlinkPeers[netlink], reply.data(),
                                                              reply.size()) < 0) {
        return -1;
    }
    return static_cast<ssize_t>(length);
}

int getsockopt(int fd, int level, int option, void *value, socklen_t *length) noexcept {
    if (isBus(fd) && level == SOL_SOCKET && option == SO_MEMINFO &&
        getenv("CANFD_FAULT_NO_MEMINFO") != nullptr) {
        errno = ENOPROTOOPT;
        return -1;
    }
    return next<int (*)(int, int, int, void *, socklen_t *)>("getsockopt")(fd, level, option, value,
                                                                           length);
}

} // extern "C"
