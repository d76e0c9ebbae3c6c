#include "output.h"

#include "monotonic_clock.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// How a stream is written without waiting for its reader.
enum WriteWay {
    // A file or a device that takes everything at once: plain writes, as any program makes.
    writeAtOnce,
    // A pipe or a terminal, through a description of its own opened non-blocking: the caller's
    // description stays as it was, since the shell shares it and would see the change.
    writeWithoutWaiting,
    // A socket: each send says it must not wait.
    sendWithoutWaiting,
    // A pipe or a terminal that could not be opened again: only what poll() says fits.
    writeWhenReady,
};

struct OutputQueue {
    char *bytes;
    size_t capacity;
    size_t start;  // the oldest byte not yet written
    size_t length; // bytes waiting
    int descriptor;
    WriteWay way;
    bool readerGone; // the reader left (EPIPE) or the stream failed: nothing more is written
    bool terminal;
    uint64_t linesLeftOut; // since the last note of them
};

// Room kept for everything but block lines once the log is far behind: the reports and the
// frame lines that tell what happened.
static const size_t reserveForOtherLines = size_t{64} << 10;
static const size_t reportQueueBytes = size_t{256} << 10;
static const size_t longestFormattedLine = 1024;
static const char eraseLine[] = "\r\033[K";

static char logBytes[logQueueBytes];
static char reportBytes[reportQueueBytes];
static OutputQueue logQueue = {
    logBytes, sizeof(logBytes), 0, 0, STDOUT_FILENO, writeAtOnce, false, false, 0};
static OutputQueue reportQueueOfItsOwn = {
    reportBytes, sizeof(reportBytes), 0, 0, STDERR_FILENO, writeAtOnce, false, false, 0};
// Both streams going to one place (`2>&1`, one terminal) share the log's queue, which keeps the
// order they were written in.
static OutputQueue *reportQueue = &reportQueueOfItsOwn;
static bool statusLineShown = false;

static bool sameObject(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

static void setUp(OutputQueue *queue, int descriptor, const struct stat &status) {
    queue->descriptor = descriptor;
    queue->terminal = isatty(descriptor) != 0;
    if (S_ISSOCK(status.st_mode)) {
        queue->way = sendWithoutWaiting;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !queue->terminal) {
        queue->way = writeAtOnce;
        return;
    }
    char path[32];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", descriptor);
    int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) {
        queue->way = writeWhenReady;
        return;
    }
    queue->descriptor = own;
    queue->way = writeWithoutWaiting;
}

static void empty(OutputQueue *queue, int descriptor) {
    if (queue->way == writeWithoutWaiting) {
        close(queue->descriptor);
    }
    queue->start = 0;
    queue->length = 0;
    queue->descriptor = descriptor;
    queue->way = writeAtOnce;
    queue->readerGone = false;
    queue->terminal = false;
    queue->linesLeftOut = 0;
}

void resetOutput() {
    empty(&logQueue, STDOUT_FILENO);
    empty(&reportQueueOfItsOwn, STDERR_FILENO);
    reportQueue = &reportQueueOfItsOwn;
    statusLineShown = false;
}

void startOutput(int logDescriptor, int reportDescriptor) {
    resetOutput();
    struct stat logStatus;
    struct stat reportStatus;
    bool logOpen = fstat(logDescriptor, &logStatus) == 0;
    bool reportOpen = fstat(reportDescriptor, &reportStatus) == 0;
    logQueue.readerGone = !logOpen;
    reportQueueOfItsOwn.readerGone = !reportOpen;
    if (logOpen) {
        setUp(&logQueue, logDescriptor, logStatus);
    }
    if (logOpen && reportOpen && sameObject(logStatus, reportStatus)) {
        reportQueue = &logQueue;
        return;
    }
    if (reportOpen) {
        setUp(&reportQueueOfItsOwn, reportDescriptor, reportStatus);
    }
}

// Whether the descriptor takes some bytes now; for writeWhenReady only.
static bool readyForMore(int descriptor) {
    pollfd watched = {descriptor, POLLOUT, 0};
    return poll(&watched, 1, 0) == 1 && (watched.revents & POLLOUT) != 0;
}

// Writes one piece; returns how much went, 0 when the reader takes nothing now, -1 on failure.
static ssize_t writePiece(const OutputQueue *queue, const char *piece, size_t length) {
    for (;;) {
        ssize_t written;
        switch (queue->way) {
        case sendWithoutWaiting:
            written = send(queue->descriptor, piece, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case writeWhenReady:
            if (!readyForMore(queue->descriptor)) {
                return 0;
            }
            // A pipe takes up to PIPE_BUF bytes at once whenever poll() says it has room.
            written = write(queue->descriptor, piece, length < PIPE_BUF ? length : PIPE_BUF);
            break;
        default:
            written = write(queue->descriptor, piece, length);
            break;
        }
        if (written >= 0) {
            return written;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

static void writeOut(OutputQueue *queue) {
    while (queue->length != 0 && !queue->readerGone) {
        size_t contiguous = queue->capacity - queue->start;
        size_t length = queue->length < contiguous ? queue->length : contiguous;
        ssize_t written = writePiece(queue, queue->bytes + queue->start, length);
        if (written < 0 || (written == 0 && queue->way == writeAtOnce)) {
            // As with a log piped into `head`: the log is lost, the upload goes on.
            queue->readerGone = true;
        } else if (written == 0) {
            return;
        } else {
            queue->start = (queue->start + static_cast<size_t>(written)) % queue->capacity;
            queue->length -= static_cast<size_t>(written);
        }
    }
    if (queue->readerGone) {
        queue->length = 0;
    }
}

static void copyIn(OutputQueue *queue, const char *text, size_t length) {
    size_t end = (queue->start + queue->length) % queue->capacity;
    size_t first = queue->capacity - end < length ? queue->capacity - end : length;
    memcpy(queue->bytes + end, text, first);
    memcpy(queue->bytes, text + first, length - first);
    queue->length += length;
}

// Says where lines were left out, once there is room again.
static bool noteLinesLeftOut(OutputQueue *queue, size_t room) {
    char note[128];
    bool inMiB = queue->capacity >= (size_t{1} << 20);
    int length = snprintf(note, sizeof(note),
                          "(%llu lines left out here: the reader fell %zu %s behind)\r\n",
                          static_cast<unsigned long long>(queue->linesLeftOut),
                          queue->capacity >> (inMiB ? 20 : 10), inMiB ? "MiB" : "KiB");
    if (length < 0 || static_cast<size_t>(length) > room) {
        return false;
    }
    copyIn(queue, note, static_cast<size_t>(length));
    queue->linesLeftOut = 0;
    return true;
}

static void append(OutputQueue *queue, const char *text, size_t length, bool leaveOutFirst) {
    if (queue->readerGone) {
        return;
    }
    size_t kept =
        leaveOutFirst && queue->capacity > reserveForOtherLines ? reserveForOtherLines : 0;
    size_t room = queue->capacity - queue->length;
    room = room > kept ? room - kept : 0;
    if (queue->linesLeftOut != 0 && (room < length || !noteLinesLeftOut(queue, room - length))) {
        queue->linesLeftOut++;
        return;
    }
    if (room < length) {
        queue->linesLeftOut++;
        return;
    }
    copyIn(queue, text, length);
}

void logText(const char *text, size_t length) {
    append(&logQueue, text, length, false);
}

// What vsnprintf() put into a buffer of size bytes, from what it returned.
static size_t heldLength(int length, size_t size) {
    if (length < 0) {
        return 0;
    }
    return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

void logLine(const char *text) {
    char line[longestFormattedLine];
    int length = snprintf(line, sizeof(line), "%s\n", text);
    logText(line, heldLength(length, sizeof(line)));
}

// Formats one line into a buffer of longestFormattedLine bytes; returns its length.
static size_t formatLine(char *line, const char *format, va_list arguments)
    __attribute__((format(printf, 2, 0)));
static size_t formatLine(char *line, const char *format, va_list arguments) {
    return heldLength(vsnprintf(line, longestFormattedLine, format, arguments),
                      longestFormattedLine);
}

void logFormat(const char *format, ...) {
    char line[longestFormattedLine];
    va_list arguments;
    va_start(arguments, format);
    size_t length = formatLine(line, format, arguments);
    va_end(arguments);
    logText(line, length);
}

void logBlockText(const char *text, size_t length) {
    append(&logQueue, text, length, true);
}

static void reportPiece(const char *text, size_t length) {
    if (statusLineShown) {
        statusLineShown = false;
        append(reportQueue, eraseLine, sizeof(eraseLine) - 1, false);
    }
    append(reportQueue, text, length, false);
    writeOut(reportQueue);
}

void reportText(const char *text) {
    reportPiece(text, strlen(text));
}

void reportFormat(const char *format, ...) {
    char line[longestFormattedLine];
    va_list arguments;
    va_start(arguments, format);
    size_t length = formatLine(line, format, arguments);
    va_end(arguments);
    reportPiece(line, length);
}

void reportSystemError(const char *prefix) {
    char line[longestFormattedLine];
    int length = snprintf(line, sizeof(line), "%s: %s\n", prefix, strerror(errno));
    reportPiece(line, heldLength(length, sizeof(line)));
}

void flushOutput() {
    writeOut(&logQueue);
    writeOut(reportQueue);
}

static bool waiting(const OutputQueue *queue) {
    return queue->length != 0 && !queue->readerGone;
}

int outputDescriptorsToWatch(pollfd *watched, int room) {
    int count = 0;
    const OutputQueue *queues[2] = {&logQueue, reportQueue};
    for (int i = 0; i < 2 && count < room; i++) {
        if (waiting(queues[i]) && (i == 0 || queues[i] != queues[0])) {
            watched[count++] = {queues[i]->descriptor, POLLOUT, 0};
        }
    }
    return count;
}

bool drainOutput(int64_t limitMilliseconds) {
    int64_t until = monotonicMilliseconds() + limitMilliseconds;
    for (;;) {
        flushOutput();
        pollfd watched[2];
        int count = outputDescriptorsToWatch(watched, 2);
        if (count == 0) {
            return true;
        }
        int timeout = -1;
        if (limitMilliseconds >= 0) {
            int64_t left = until - monotonicMilliseconds();
            if (left <= 0) {
                return false;
            }
            timeout = static_cast<int>(left);
        }
        if (poll(watched, static_cast<nfds_t>(count), timeout) < 0 && errno == EINTR) {
            return false;
        }
    }
}

bool statusLineAllowed() {
    return reportQueue != &logQueue && reportQueue->terminal && !logQueue.terminal &&
           !reportQueue->readerGone;
}

void showStatusLine(const char *text) {
    if (!statusLineAllowed()) {
        return;
    }
    append(reportQueue, "\r", 1, false);
    append(reportQueue, text, strlen(text), false);
    append(reportQueue, eraseLine + 1, sizeof(eraseLine) - 2, false);
    statusLineShown = true;
    writeOut(reportQueue);
}

void eraseStatusLine() {
    if (statusLineShown) {
        statusLineShown = false;
        append(reportQueue, eraseLine, sizeof(eraseLine) - 1, false);
        writeOut(reportQueue);
    }
}
