#include "firmware_image.h"

#include "output.h"
#include <cerrno>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char firmwareImagePath[] = "/opt/klipper.bin";

uint32_t fileLength = 0;
// In .bss: the pages an image does not reach are never touched and cost no memory.
uint8_t firmwareImage[firmwareImageSizeLimit];

static ssize_t preadRetrying(int descriptor, void *into, size_t length, uint64_t offset) {
    ssize_t result;
    do {
        result = pread(descriptor, into, length, static_cast<off_t>(offset));
    } while (result < 0 && errno == EINTR);
    return result;
}

static const int endedEarly = -1;
static const int wentOnPastSize = -2;

// Reads size bytes of the image into memory and checks that the file holds no byte past
// them. Returns 0, or the errno of a failed read, endedEarly or wentOnPastSize.
static int readToTheEnd(int descriptor, uint64_t size) {
    uint64_t offset = 0;
    while (offset < size) {
        ssize_t count = preadRetrying(descriptor, firmwareImage + offset,
                                      static_cast<size_t>(size - offset), offset);
        if (count < 0) {
            return errno;
        }
        if (count == 0) {
            return endedEarly;
        }
        offset += static_cast<uint64_t>(count);
    }
    uint8_t beyond = 0;
    ssize_t count = preadRetrying(descriptor, &beyond, 1, size);
    if (count < 0) {
        return errno;
    }
    return count == 0 ? 0 : wentOnPastSize;
}

static bool readStatus(int descriptor, struct stat *status) {
    if (fstat(descriptor, status) < 0) {
        return false;
    }
    if (!S_ISREG(status->st_mode)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// A writer that rewrites the file in place (cp, a shell redirection) changes its size or its
// modification time, to the nanosecond where the file system keeps them.
static bool sameSizeAndTime(const struct stat &before, const struct stat &after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

static bool sameChangeTime(const struct stat &before, const struct stat &after) {
    return before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// Whether the file still holds the bytes read into memory. Asked only when nothing but the
// change time moved: a rename onto the path, a chmod or a new link change it and leave the bytes
// alone, but so does a writer that puts the modification time back (cp -p).
static bool sameBytes(int descriptor, uint64_t size) {
    static uint8_t piece[64 * 1024];
    for (uint64_t offset = 0; offset < size;) {
        uint64_t left = size - offset;
        ssize_t count =
            preadRetrying(descriptor, piece, left < sizeof(piece) ? left : sizeof(piece), offset);
        if (count <= 0 || memcmp(piece, firmwareImage + offset, static_cast<size_t>(count)) != 0) {
            return false;
        }
        offset += static_cast<uint64_t>(count);
    }
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
        reportSystemError("Firmware file not found!");
        return false;
    }
    struct stat before;
    if (!readStatus(descriptor, &before)) {
        reportSystemError("Firmware size could not be read");
        return refuse(descriptor);
    }
    uint64_t size = static_cast<uint64_t>(before.st_size);
    if (size == 0) {
        reportFormat("Firmware file is empty: %s\n", path);
        return refuse(descriptor);
    }
    if (size >= firmwareImageSizeLimit) {
        reportFormat("Firmware file too large: %s has %llu bytes, at most %llu are possible\n",
                     path, static_cast<unsigned long long>(size),
                     static_cast<unsigned long long>(firmwareImageSizeLimit - 1));
        return refuse(descriptor);
    }
    int readError = readToTheEnd(descriptor, size);
    if (readError > 0) {
        errno = readError;
        reportSystemError("Firmware file could not be read");
        return refuse(descriptor);
    }
    if (readError == endedEarly) {
        reportFormat("Firmware file ended before its size: %s\n", path);
        return refuse(descriptor);
    }
    struct stat after;
    if (!readStatus(descriptor, &after)) {
        reportSystemError("Firmware size could not be read");
        return refuse(descriptor);
    }
    // A byte past the size shows growth even where the status lags behind the data (NFS
    // caches it).
    if (readError == wentOnPastSize || !sameSizeAndTime(before, after) ||
        (!sameChangeTime(before, after) && !sameBytes(descriptor, size))) {
        reportFormat("Firmware file changed while it was being read: %s\n", path);
        return refuse(descriptor);
    }
    // Every block is served from memory: the file has no job left.
    close(descriptor);
    fileLength = static_cast<uint32_t>(size);
    return true;
}
