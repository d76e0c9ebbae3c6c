#include "firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char firmwareImagePath[] = "/opt/klipper.bin";

int file = -1;
uint32_t fileLength = 0;
uint8_t buffer[64];

static ssize_t preadRetrying(int descriptor, void *into, size_t length, uint64_t offset) {
    ssize_t result;
    do {
        result = pread(descriptor, into, length, static_cast<off_t>(offset));
    } while (result < 0 && errno == EINTR);
    return result;
}

// Reads the whole image once, so that a file that cannot be read to its end is refused
// before anything is sent to the board. Returns 0, or the errno of a failed read, or -1
// when the file ended early.
static int readToTheEnd(int descriptor, uint64_t size) {
    static uint8_t scratch[4096];
    uint64_t offset = 0;
    while (offset < size) {
        ssize_t count = preadRetrying(descriptor, scratch, sizeof(scratch), offset);
        if (count < 0) {
            return errno;
        }
        if (count == 0) {
            return -1;
        }
        offset += static_cast<uint64_t>(count);
    }
    return 0;
}

bool findSize(int descriptor, uint64_t *size) {
    struct stat status;
    if (fstat(descriptor, &status) < 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

static bool refuse(int descriptor) {
    close(descriptor);
    return false;
}

// The size comes from the descriptor rather than the path, so it belongs to the very file
// that will be sent even if the path is replaced meanwhile.
bool openFirmwareImage(const char *path) {
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        perror("Firmware file not found!");
        return false;
    }
    uint64_t size = 0;
    if (!findSize(descriptor, &size)) {
        perror("Firmware size could not be read");
        return refuse(descriptor);
    }
    if (size == 0) {
        fprintf(stderr, "Firmware file is empty: %s\n", path);
        return refuse(descriptor);
    }
    if (size >= firmwareImageSizeLimit) {
        fprintf(stderr, "Firmware file too large: %s has %llu bytes, at most %llu are possible\n",
                path, static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(firmwareImageSizeLimit - 1));
        return refuse(descriptor);
    }
    int readError = readToTheEnd(descriptor, size);
    if (readError > 0) {
        errno = readError;
        perror("Firmware file could not be read");
        return refuse(descriptor);
    }
    if (readError < 0) {
        fprintf(stderr, "Firmware file ended before its size: %s\n", path);
        return refuse(descriptor);
    }
    file = descriptor;
    fileLength = static_cast<uint32_t>(size);
    return true;
}

ssize_t readFirmwareBlock(uint32_t length, uint32_t offset) {
    if (length > sizeof(buffer)) {
        length = sizeof(buffer);
    }
    return preadRetrying(file, buffer, length, offset);
}

static uint8_t ahead[readAheadSize];
static uint32_t aheadOffset = 0;
static uint32_t aheadLength = 0;

void readFirmwareAhead(uint32_t length, uint32_t offset) {
    if (length > sizeof(ahead)) {
        length = sizeof(ahead);
    }
    ssize_t count = preadRetrying(file, ahead, length, offset);
    aheadOffset = offset;
    aheadLength = count > 0 ? static_cast<uint32_t>(count) : 0;
}

const uint8_t *firmwareAhead(uint32_t length, uint32_t offset) {
    if (offset < aheadOffset || offset - aheadOffset > aheadLength ||
        length > aheadLength - (offset - aheadOffset)) {
        return nullptr;
    }
    return ahead + (offset - aheadOffset);
}

void forgetFirmwareAhead() {
    aheadLength = 0;
}
