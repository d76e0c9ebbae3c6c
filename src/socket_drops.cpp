#include "socket_drops.h"

#include "monotonic_clock.h"
#include "output.h"

// After the first drop, a count at most this often.
static const int64_t summaryMilliseconds = 10000;

struct DropCount {
    uint32_t dropped;
    uint32_t reported;
    int64_t reportedAt;
};

static DropCount counts[2] = {{0, 0, 0}, {0, 0, 0}};

static void reportFirst(DroppingSocket which, uint32_t dropped) {
    if (which == otherFrames) {
        reportFormat("can0: the tool's socket dropped %u frames of other nodes while the tool was "
                     "held up (stopped, or starved of processor time): they are missing from the "
                     "log; the board's frames have a queue of their own\n",
                     dropped);
    } else {
        reportFormat("can0: the tool's socket dropped %u of the board's frames while the tool was "
                     "held up: a request among them is not answered, and the board may wait for "
                     "it; if the upload stalls, run the tool again\n",
                     dropped);
    }
}

void noteSocketDrops(DroppingSocket which, uint32_t dropsSoFar) {
    DropCount *count = &counts[which];
    if (dropsSoFar <= count->dropped) {
        return;
    }
    count->dropped = dropsSoFar;
    int64_t now = monotonicMilliseconds();
    if (count->reported == 0) {
        reportFirst(which, dropsSoFar);
    } else if (now - count->reportedAt >= summaryMilliseconds) {
        reportFormat("can0: %u %s dropped at the tool's socket so far\n", dropsSoFar,
                     which == otherFrames ? "frames of other nodes" : "of the board's frames");
    } else {
        return;
    }
    count->reported = dropsSoFar;
    count->reportedAt = now;
}

void resetSocketDrops() {
    counts[0] = {0, 0, 0};
    counts[1] = {0, 0, 0};
}
