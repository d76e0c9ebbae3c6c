#include "confirmation.h"

#include "echo_read.h"
#include "monotonic_clock.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

// Echoes are read at least this often while blocks go out: the queue then holds a few dozen at
// most, far below what the socket may keep.
static const uint64_t echoLookEvery = 32;
// While the tool waits for the board, the echoes that trickle in are looked at this often: not
// one wake-up per echo, and a board that asks one block at a time costs no read per block.
static const int64_t echoLookMilliseconds = 50;

static int confirmSocket = -1;
static ConfirmationWay way = notConfirmable;
static uint64_t written = 0;
static EchoCount echoCount = {0, 0};
static uint64_t lookedAtWritten = 0;
static int64_t lookedAt = 0;
static uint32_t unsentBytes = 0;
static bool writeBlocked = false;
// The first failure the socket reported: the kernel tells it once, and it stands.
static int socketFailed = 0;
// Since when nothing has moved while something waits; -1 when nothing waits.
static int64_t waitingStart = -1;

// Bytes of frames handed to the socket that have not left it yet, or -1 when that cannot be told.
// A frame's buffer stays charged to the socket until the interface is done with it.
static int64_t bytesNotYetSent(int socket, uint32_t *drops) {
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t size = sizeof(memory);
    if (getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &size) < 0 ||
        size < sizeof(uint32_t) * (SK_MEMINFO_WMEM_ALLOC + 1)) {
        return -1;
    }
    if (drops != nullptr && size >= sizeof(uint32_t) * (SK_MEMINFO_DROPS + 1)) {
        *drops = memory[SK_MEMINFO_DROPS];
    }
    return memory[SK_MEMINFO_WMEM_ALLOC];
}

void startConfirmation(int socket, bool interfaceEchoes) {
    resetConfirmation();
    confirmSocket = socket;
    if (interfaceEchoes) {
        way = confirmedByEcho;
    } else if (bytesNotYetSent(socket, nullptr) >= 0) {
        way = confirmedByUnsentBytes;
    } else {
        way = notConfirmable;
    }
}

ConfirmationWay confirmationWay() {
    return way;
}

static uint64_t confirmed() {
    uint64_t count = echoCount.echoes + echoCount.dropped;
    return count < written ? count : written;
}

bool blocksUnconfirmed() {
    switch (way) {
    case confirmedByEcho:
        return confirmed() < written;
    case confirmedByUnsentBytes:
        // Blocks written since the last look count as unsent until the next one.
        return unsentBytes != 0 || lookedAtWritten != written;
    case notConfirmable:
        break;
    }
    return false;
}

uint64_t unconfirmedBlockCount() {
    return way == confirmedByEcho ? written - confirmed() : 0;
}

static bool somethingWaits() {
    return blocksUnconfirmed() || writeBlocked;
}

// Something moved: the clock starts again, or stops when nothing waits any more.
static void noteProgress() {
    waitingStart = somethingWaits() ? monotonicMilliseconds() : -1;
}

static void startWaitingIfIdle() {
    if (waitingStart < 0 && somethingWaits()) {
        waitingStart = monotonicMilliseconds();
    }
}

void noteBlockWritten() {
    written++;
    if (way != confirmedByEcho) {
        return;
    }
    startWaitingIfIdle();
    if (written - lookedAtWritten >= echoLookEvery) {
        // A failure of the socket stands, and shows at the next look, where the caller acts.
        takeConfirmations();
    }
}

// An echo dropped for a full queue was sent all the same; the kernel counts it on the socket,
// and tells the count with the records that follow, or here when none follows.
static void countDropsUnannounced() {
    uint32_t drops = 0;
    if (blocksUnconfirmed() && bytesNotYetSent(confirmSocket, &drops) >= 0 &&
        drops > echoCount.dropped) {
        echoCount.dropped = drops;
    }
}

// Without echoes nothing is read from the socket, but a failure of it (can0 went down) is
// still noted there.
static int socketFailure() {
    int failure = 0;
    socklen_t size = sizeof(failure);
    if (getsockopt(confirmSocket, SOL_SOCKET, SO_ERROR, &failure, &size) < 0) {
        return 0;
    }
    return failure;
}

static void lookAtUnsentBytes() {
    int64_t unsent = bytesNotYetSent(confirmSocket, nullptr);
    uint32_t now = unsent > 0 ? static_cast<uint32_t>(unsent) : 0;
    bool fell = now < unsentBytes;
    unsentBytes = now;
    if (fell) {
        noteProgress();
    } else {
        startWaitingIfIdle();
    }
}

static void noteFailure(int failure) {
    if (socketFailed == 0) {
        socketFailed = failure;
    }
}

int takeConfirmations() {
    if (confirmSocket < 0) {
        return 0;
    }
    if (way != confirmedByEcho) {
        noteFailure(socketFailure());
        // After a failure the socket's unsent bytes tell nothing more: frames that can0 dropped
        // no longer count as unsent.
        if (socketFailed == 0 && way == confirmedByUnsentBytes) {
            lookedAtWritten = written;
            lookAtUnsentBytes();
        }
        return socketFailed;
    }
    lookedAtWritten = written;
    lookedAt = monotonicMilliseconds();
    uint64_t before = confirmed();
    noteFailure(readEchoes(confirmSocket, &echoCount));
    if (confirmed() == before) {
        countDropsUnannounced();
    }
    if (confirmed() != before) {
        noteProgress();
    }
    return socketFailed;
}

void noteWriteBlocked(int64_t blockedSinceMilliseconds) {
    // Nothing moved while the write waited, or it would have gone through.
    writeBlocked = true;
    if (waitingStart < 0 || blockedSinceMilliseconds < waitingStart) {
        waitingStart = blockedSinceMilliseconds;
    }
}

void noteWriteOver(bool wentThrough) {
    if (!writeBlocked) {
        return;
    }
    writeBlocked = false;
    if (wentThrough) {
        noteProgress();
    } else if (!somethingWaits()) {
        waitingStart = -1;
    }
}

int64_t waitingSince() {
    return waitingStart;
}

int64_t millisecondsWithoutProgress() {
    if (waitingStart < 0) {
        return -1;
    }
    return monotonicMilliseconds() - waitingStart;
}

int confirmationDescriptor() {
    return confirmSocket;
}

int millisecondsToNextLook() {
    if (way == confirmedByEcho && blocksUnconfirmed()) {
        int64_t due = lookedAt + echoLookMilliseconds - monotonicMilliseconds();
        return static_cast<int>(due < 0                      ? 0
                                : due > echoLookMilliseconds ? echoLookMilliseconds
                                                             : due);
    }
    if (way != confirmedByUnsentBytes) {
        return -1;
    }
    if (lookedAtWritten != written) {
        return 0;
    }
    if (unsentBytes == 0) {
        return -1;
    }
    // Frames leave within milliseconds on a bus that takes them; a bus that does not is looked
    // at less and less often.
    int64_t waited = millisecondsWithoutProgress();
    int64_t next = waited / 10;
    return static_cast<int>(next < 1 ? 1 : next > 100 ? 100 : next);
}

void resetConfirmation() {
    confirmSocket = -1;
    way = notConfirmable;
    written = 0;
    echoCount = {0, 0};
    lookedAtWritten = 0;
    lookedAt = 0;
    unsentBytes = 0;
    writeBlocked = false;
    socketFailed = 0;
    waitingStart = -1;
}
