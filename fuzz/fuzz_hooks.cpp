#include "fuzz_hooks.h"

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <ctime>
#include <sys/types.h>
#include <unistd.h>

std::jmp_buf *exitLanding = nullptr;
int exitStatus = -1;

namespace {

bool armed = false;
int bus = -1;
int image = -1;
WriteFault writeFault;
ReadFault readFault;
int writeCalls = 0;
bool interrupted = false;
uint64_t interruptedAt = 0;
size_t interruptedLength = 0;
uint64_t clockMicroseconds = 0;
std::vector<uint64_t> sentAt;

bool writeFails(int call) {
    switch (writeFault.kind) {
    case WriteFaultKind::None:
        return false;
    case WriteFaultKind::Busy:
    case WriteFaultKind::Interrupted:
        return call >= writeFault.atCall && call < writeFault.atCall + writeFault.repeat;
    case WriteFaultKind::BusyForever:
        return call >= writeFault.atCall;
    case WriteFaultKind::Error:
    case WriteFaultKind::Short:
        return call == writeFault.atCall;
    }
    return false;
}

} // namespace

void armHooks(int busSocket, int imageDescriptor, const WriteFault &write, const ReadFault &read) {
    armed = true;
    bus = busSocket;
    image = imageDescriptor;
    writeFault = write;
    readFault = read;
    writeCalls = 0;
    interrupted = false;
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
ssize_t __real_pread64(int fd, void *into, size_t length, off_t offset);

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
    }
    return written;
}

ssize_t __wrap_pread64(int fd, void *into, size_t length, off_t offset) {
    if (!armed || fd != image) {
        return __real_pread64(fd, into, length, offset);
    }
    uint64_t start = static_cast<uint64_t>(offset);
    switch (readFault.kind) {
    case ReadFaultKind::BadFrom:
        if (start + length > readFault.at) {
            errno = EIO;
            return -1;
        }
        break;
    case ReadFaultKind::EndsAt:
        if (start >= readFault.at) {
            return 0;
        }
        if (start + length > readFault.at) {
            length = static_cast<size_t>(readFault.at - start);
        }
        break;
    case ReadFaultKind::Interrupted:
        // Only the very read that was just interrupted, repeated, is let through.
        if (interrupted && start == interruptedAt && length == interruptedLength) {
            interrupted = false;
            break;
        }
        interrupted = true;
        interruptedAt = start;
        interruptedLength = length;
        errno = EINTR;
        return -1;
    case ReadFaultKind::None:
        break;
    }
    return __real_pread64(fd, into, length, offset);
}

} // extern "C"
