#include "receive_wait.h"

#include "block_log.h"
#include "board_watch.h"
#include "bus_health.h"
#include "frame_send.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

static const int64_t busOffLimitMilliseconds = 1000 * static_cast<int64_t>(noProgressLimitSeconds);

// A controller that stays bus-off mid-upload sends nothing, and the kernel may drop what it is
// handed meanwhile: the same bound as for a write that makes no progress.
static int64_t millisecondsToBusOffLimit() {
    int64_t off = busOffMilliseconds();
    if (off < 0 || !uploadBegun()) {
        return -1;
    }
    return off < busOffLimitMilliseconds ? busOffLimitMilliseconds - off : 0;
}

static void endIfBusOffTooLong() {
    if (millisecondsToBusOffLimit() != 0) {
        return;
    }
    flushBlockLines();
    fprintf(stderr,
            "Error sending command via CAN FD!: can0 stayed bus-off for %d s during the upload\n",
            noProgressLimitSeconds);
    exit(2);
}

static int pollTimeout() {
    int64_t timeout = millisecondsToNextHint();
    int64_t busOff = millisecondsToBusOffLimit();
    if (busOff >= 0 && (timeout < 0 || busOff < timeout)) {
        timeout = busOff;
    }
    return static_cast<int>(timeout);
}

ssize_t receiveRecord(int socket, void *record, size_t size) {
    for (;;) {
        pollfd watched[2] = {{socket, POLLIN, 0}, {busHealthSocket(), POLLIN, 0}};
        int ready = poll(watched, 2, pollTimeout());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (watched[1].revents != 0) {
            readBusHealth();
        }
        endIfBusOffTooLong();
        if (watched[0].revents != 0) {
            return read(socket, record, size);
        }
        // Only silence earns a hint: a frame that is waiting is the board speaking.
        giveDueHint(socket);
    }
}
