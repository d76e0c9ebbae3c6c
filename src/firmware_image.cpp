#include "firmware_image.h"

#include "image_kind.h"
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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

// The user's name, or "uid 1000" where no user has that number; false for the latter.
static bool nameUser(uid_t user, char *text, size_t size) {
    static char entries[4096];
    passwd entry;
    passwd *found = nullptr;
    if (getpwuid_r(user, &entry, entries, sizeof(entries), &found) == 0 && found != nullptr) {
        snprintf(text, size, "%s", found->pw_name);
        return true;
    }
    snprintf(text, size, "uid %lu", static_cast<unsigned long>(user));
    return false;
}

static void nameGroup(gid_t group, char *text, size_t size) {
    static char entries[4096];
    struct group entry;
    struct group *found = nullptr;
    if (getgrgid_r(group, &entry, entries, sizeof(entries), &found) == 0 && found != nullptr) {
        snprintf(text, size, "%s", found->gr_name);
    } else {
        snprintf(text, size, "gid %lu", static_cast<unsigned long>(group));
    }
}

// What the file system says of who may read the image that this user may not open. O_PATH
// needs no read permission: only the folders on the way must be searchable.
static void explainNoPermission(const char *path) {
    char name[64];
    char runner[128];
    uid_t user = geteuid();
    if (nameUser(user, name, sizeof(name))) {
        snprintf(runner, sizeof(runner), "user %s (uid %lu)", name,
                 static_cast<unsigned long>(user));
    } else {
        snprintf(runner, sizeof(runner), "%s", name);
    }
    int pathOnly = open(path, O_PATH | O_CLOEXEC);
    if (pathOnly < 0 && errno == EACCES) {
        reportFormat("%s: a folder on its path may not be searched by %s, who runs canfd-flash: "
                     "let every user search it (chmod a+x on that folder, as root or its owner), "
                     "or run canfd-flash as a user who may\n",
                     path, runner);
        return;
    }
    struct stat status;
    if (pathOnly < 0 || fstat(pathOnly, &status) < 0) {
        if (pathOnly >= 0) {
            close(pathOnly);
        }
        reportFormat("%s may not be read by %s, who runs canfd-flash: let that user read it, or "
                     "run canfd-flash as a user who may\n",
                     path, runner);
        return;
    }
    close(pathOnly);
    char owner[64];
    char group[64];
    nameUser(status.st_uid, owner, sizeof(owner));
    nameGroup(status.st_gid, group, sizeof(group));
    const char letters[] = "rwxrwxrwx";
    char permissions[sizeof(letters)];
    for (size_t bit = 0; bit < 9; bit++) {
        permissions[bit] = (status.st_mode & (0400u >> bit)) != 0 ? letters[bit] : '-';
    }
    permissions[9] = '\0';
    reportFormat("%s: owner %s, group %s, mode %04o (%s); canfd-flash runs as %s: let every user "
                 "read it (chmod a+r %s, as root or its owner), or run canfd-flash as a user who "
                 "may read it\n",
                 path, owner, group, static_cast<unsigned>(status.st_mode & 07777), permissions,
                 runner, path);
}

// The fixed report says what failed; this line says what to do about it.
static void reportOpenFailure(const char *path) {
    int openError = errno;
    reportSystemError("Firmware file not found!");
    if (openError == ENOENT) {
        reportFormat("%s does not exist: copy the firmware image you built there (the raw .bin "
                     "file from the build's output folder)\n",
                     path);
    } else if (openError == EACCES || openError == EPERM) {
        explainNoPermission(path);
    }
}

struct KindNames {
    const char *name;
    const char *suffix;
};

// By ImageKind; a raw image has none.
static const KindNames kindNames[] = {
    {nullptr, nullptr},
    {"an ELF file", ".elf"},
    {"a UF2 file", ".uf2"},
    {"an Intel HEX file", ".hex"},
};
static_assert(sizeof(kindNames) / sizeof(kindNames[0]) == intelHexImage + 1,
              "a name for every kind");

// True when the image read into memory is plainly another of the build's files, after a report.
static bool refusedAsOtherKind(const char *path, uint32_t size) {
    ImageKind kind = imageKindOf(firmwareImage, size);
    if (kind == rawImage) {
        return false;
    }
    reportFormat("Firmware file is %s, not a raw image: %s\n", kindNames[kind].name, path);
    reportFormat("The raw image is usually the .bin file beside the %s file in the firmware "
                 "build's output folder: copy that one to %s\n",
                 kindNames[kind].suffix, path);
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
        reportOpenFailure(path);
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
    if (refusedAsOtherKind(path, static_cast<uint32_t>(size))) {
        return refuse(descriptor);
    }
    // Every block is served from memory: the file has no job left.
    close(descriptor);
    fileLength = static_cast<uint32_t>(size);
    return true;
}
