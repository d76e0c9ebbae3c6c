#include "receive_wait.h"

#include "board_socket.h"
#include "board_watch.h"
#include "bus_health.h"
#include "bus_reports.h"
#include "confirmation.h"
#include "interruption.h"
#include "output.h"
#include "record_read.h"
#include "run_outcome.h"
#include "send_stall.h"
#include "socket_drops.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>

// A record read but not yet handed on: the other socket may hold one that came earlier.
struct HeldRecord {
    bool held;
    canfd_frame frame;
    ssize_t nbytes;
    int error;
    int64_t stamp;
};

static HeldRecord heldRecords[2];

// The sooner of two waits in milliseconds, where -1 is no wait at all.
static int64_t sooner(int64_t a, int64_t b) {
    return b >= 0 && (a < 0 || b < a) ? b : a;
}

static int pollTimeout() {
    int64_t timeout = sooner(millisecondsToNextHint(), millisecondsToBusOffLimit());
    timeout = sooner(timeout, millisecondsToStallDeadline());
    return static_cast<int>(sooner(timeout, millisecondsToNextLook()));
}

static void take(int socket, DroppingSocket which) {
    HeldRecord *slot = &heldRecords[which];
    RecordFacts facts;
    slot->nbytes = readRecord(socket, &slot->frame, sizeof(slot->frame), &facts);
    if (slot->nbytes < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    slot->held = true;
    slot->error = errno;
    slot->stamp = facts.stampNanoseconds;
    if (facts.dropsKnown) {
        noteSocketDrops(which, facts.drops);
    }
}

// The earlier of the records held; a failed read first, since the loop ends on it.
static int earliest() {
    const HeldRecord &board = heldRecords[boardFrames];
    const HeldRecord &other = heldRecords[otherFrames];
    if (!other.held) {
        return board.held ? boardFrames : -1;
    }
    if (!board.held || other.nbytes < 0) {
        return otherFrames;
    }
    return board.nbytes >= 0 && other.stamp < board.stamp ? otherFrames : boardFrames;
}

static ssize_t handOn(int which, canfd_frame *record) {
    HeldRecord *slot = &heldRecords[which];
    slot->held = false;
    if (slot->nbytes < 0) {
        errno = slot->error;
        return slot->nbytes;
    }
    memcpy(record, &slot->frame, sizeof(*record));
    reportBusEvents(noteFrameReceived(slot->stamp), nullptr);
    return slot->nbytes;
}

ssize_t receiveRecord(int socket, canfd_frame *record) {
    for (;;) {
        flushOutput();
        pollfd watched[7] = {{boardSocket(), POLLIN, 0},
                             {socket, POLLIN, 0},
                             {busHealthSocket(), POLLIN, 0},
                             {interruptionDescriptor(), POLLIN, 0},
                             // Its failures only: echoes are gathered when a look is due.
                             {confirmationDescriptor(), 0, 0}};
        int count = 5 + outputDescriptorsToWatch(watched + 5, 2);
        // A record already held is ready: only look whether the other socket has an earlier one.
        bool holding = heldRecords[boardFrames].held || heldRecords[otherFrames].held;
        int ready = poll(watched, static_cast<nfds_t>(count), holding ? 0 : pollTimeout());
        if (ready < 0) {
            if (errno == EINTR) {
                endIfInterrupted();
                continue;
            }
            return -1;
        }
        // A Ctrl-C comes before any frame that waits: the next announcement must not be answered.
        endIfInterrupted();
        if (watched[2].revents != 0) {
            readBusHealth();
        }
        endIfBusOffTooLong();
        // The board waits for the blocks it asked for: frames that never leave must not make
        // the tool wait for ever.
        endIfSentFramesFail(watched[4].revents != 0);
        if (watched[boardFrames].revents != 0 && !heldRecords[boardFrames].held) {
            take(watched[boardFrames].fd, boardFrames);
        }
        if (watched[otherFrames].revents != 0 && !heldRecords[otherFrames].held) {
            take(socket, otherFrames);
        }
        int which = earliest();
        if (which >= 0) {
            return handOn(which, record);
        }
        // Only silence earns a hint: a frame that is waiting is the board speaking.
        giveDueHint();
    }
}
