#include "fuzz_hooks.h"

#include "frame_send.h"
#include "send_stall.h"

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <ctime>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

std::jmp_buf *exitLanding = nullptr;
int exitStatus = -1;

namespace {

bool armed = false;
int bus = -1;
WriteFault writeFault;
int writeCalls = 0;
uint64_t clockMicroseconds = 0;
std::vector<uint64_t> sentAt;

bool writeFails(int call) {
    switch (writeFault.kind) {
    case WriteFaultKind::None:
        return false;
    case WriteFaultKind::Busy:
    case WriteFaultKind::Interrupted:
    case WriteFaultKind::Stalled:
        return call >= writeFault.atCall && call < writeFault.atCall + writeFault.repeat;
    case WriteFaultKind::BusyForever:
    case WriteFaultKind::StalledForever:
        return call >= writeFault.atCall;
    case WriteFaultKind::Error:
    case WriteFaultKind::Short:
        return call == writeFault.atCall;
    }
    return false;
}

} // namespace

void armHooks(int busSocket, const WriteFault &write) {
    armed = true;
    bus = busSocket;
    writeFault = write;
    writeCalls = 0;
    sentAt.clear();
}

void disarmHooks() {
    armed = false;
}

uint64_t virtualMicroseconds() {
    return clockMicroseconds;
}

const std::vector<uint64_t> &writeTimes() {
    return sentAt;
}

extern "C" {

[[noreturn]] void __real_exit(int status);
int __real_usleep(useconds_t microseconds);
int __real_clock_gettime(clockid_t clock, timespec *now);
ssize_t __real_write(int fd, const void *data, size_t size);
int __real_getsockopt(int fd, int level, int name, void *value, socklen_t *size);

// longjmp skips only the flasher's frames, which hold plain C data: nothing needs unwinding.
[[noreturn]] void __wrap_exit(int status) {
    if (exitLanding != nullptr) {
        std::jmp_buf *landing = exitLanding;
        exitLanding = nullptr;
        exitStatus = status;
        std::longjmp(*landing, 1);
    }
    __real_exit(status);
}

int __wrap_usleep(useconds_t microseconds) {
    if (!armed) {
        return __real_usleep(microseconds);
    }
    clockMicroseconds += microseconds;
    return 0;
}

int __wrap_clock_gettime(clockid_t clock, timespec *now) {
    if (!armed || clock != CLOCK_MONOTONIC) {
        return __real_clock_gettime(clock, now);
    }
    now->tv_sec = static_cast<time_t>(clockMicroseconds / 1000000);
    now->tv_nsec = static_cast<long>(clockMicroseconds % 1000000 * 1000);
    return 0;
}

ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (!armed || fd != bus) {
        return __real_write(fd, data, size);
    }
    int call = writeCalls++;
    if (writeFails(call)) {
        switch (writeFault.kind) {
        case WriteFaultKind::Busy:
        case WriteFaultKind::BusyForever:
            errno = ENOBUFS;
            return -1;
        case WriteFaultKind::Interrupted:
            errno = EINTR;
            return -1;
        case WriteFaultKind::Stalled:
        case WriteFaultKind::StalledForever:
            clockMicroseconds += 1000000 * static_cast<uint64_t>(noProgressReportSeconds);
            errno = EAGAIN;
            return -1;
        case WriteFaultKind::Short:
            return size > 0 ? static_cast<ssize_t>(size - 1) : 0;
        default:
            errno = writeFault.errorNumber;
            return -1;
        }
    }
    ssize_t written = __real_write(fd, data, size);
    if (written > 0) {
        sentAt.push_back(clockMicroseconds);
    } else if (written < 0 && errno == EAGAIN) {
        // The socket's send timeout passed: so much time went by.
        clockMicroseconds += 1000000 * static_cast<uint64_t>(noProgressReportSeconds);
    }
    return written;
}

// The modelled bus takes every frame at once: none is left unsent once the write returned.
int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *size) {
    int result = __real_getsockopt(fd, level, name, value, size);
    if (armed && result == 0 && fd == bus && level == SOL_SOCKET && name == SO_MEMINFO &&
        *size > sizeof(uint32_t) * SK_MEMINFO_WMEM_ALLOC) {
        static_cast<uint32_t *>(value)[SK_MEMINFO_WMEM_ALLOC] = 0;
    }
    return result;
}

} // extern "C"
