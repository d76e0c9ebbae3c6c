#include "bus_lock.h"

#include "bus_release.h"
#include "output.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Refused runs connect to the holder without ever being accepted, so this bounds how many
// of them can still learn its process number.
static const int waitingRunsKept = 64;

// An abstract name (leading NUL) rather than a lock file: it needs no directory, no
// permissions and no clean-up, and it goes with the process's last descriptor. Abstract
// names belong to the network namespace, as can0 does.
static socklen_t lockAddress(const char *interfaceName, sockaddr_un *address) {
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    int length = snprintf(address->sun_path + 1, sizeof(address->sun_path) - 1, "canfd-flash %s",
                          interfaceName);
    size_t used = 1 + (length > 0 ? static_cast<size_t>(length) : 0);
    if (used > sizeof(address->sun_path)) {
        used = sizeof(address->sun_path);
    }
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + used);
}

static void reportLockFailure(const char *interfaceName) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "Interface %s lock", interfaceName);
    reportSystemError(prefix);
}

// The holder's credentials were fixed when it started listening; a connection that is
// never accepted still carries them. 0 when they cannot be learned (queue full, the holder
// gone meanwhile, or a process that this one cannot see).
static pid_t holderOf(const sockaddr_un *address, socklen_t length) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return 0;
    }
    pid_t holder = 0;
    ucred credentials;
    socklen_t size = sizeof(credentials);
    if (connect(probe, reinterpret_cast<const sockaddr *>(address), length) == 0 &&
        getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
        holder = credentials.pid;
    }
    close(probe);
    return holder;
}

// The holder's process name: any local process can listen on the lock's name, and a report
// must not blame a canfd-flash run for one that is not. False when it cannot be read.
static bool processName(pid_t process, char *name, size_t size) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%ld/comm", static_cast<long>(process));
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    ssize_t length = read(descriptor, name, size - 1);
    close(descriptor);
    if (length <= 0) {
        return false;
    }
    name[length] = '\0';
    name[strcspn(name, "\n")] = '\0';
    return true;
}

static void reportHolder(const char *interfaceName, pid_t holder) {
    char name[64];
    if (holder > 0 && processName(holder, name, sizeof(name)) && strcmp(name, "canfd-flash") != 0) {
        reportFormat("Interface %s is in use: process %ld (%s), which is not canfd-flash, holds "
                     "the lock that keeps a second run off %s: end that process\n",
                     interfaceName, static_cast<long>(holder), name, interfaceName);
    } else if (holder > 0) {
        reportFormat("Interface %s is in use by another canfd-flash run (process %ld): let it "
                     "finish or end it\n",
                     interfaceName, static_cast<long>(holder));
    } else {
        reportFormat("Interface %s is in use by another canfd-flash run: let it finish or end it\n",
                     interfaceName);
    }
}

bool takeBusLock(const char *interfaceName) {
    sockaddr_un address;
    socklen_t length = lockAddress(interfaceName, &address);
    int lock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lock < 0) {
        reportLockFailure(interfaceName);
        return false;
    }
    if (bind(lock, reinterpret_cast<const sockaddr *>(&address), length) < 0) {
        int bindError = errno;
        close(lock);
        if (bindError == EADDRINUSE) {
            reportHolder(interfaceName, holderOf(&address, length));
        } else {
            errno = bindError;
            reportLockFailure(interfaceName);
        }
        return false;
    }
    if (listen(lock, waitingRunsKept) < 0) {
        reportLockFailure(interfaceName);
        close(lock);
        return false;
    }
    // The descriptor is the lock.
    holdUntilTheEnd(lock);
    return true;
}
