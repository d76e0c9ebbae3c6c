// Everything the tool writes goes through here: the log on standard output and the reports on
// standard error. A reader that stops reading (a paused pager, a slow serial console, a full
// pipe) must never hold the upload up, or the board gives up and sits erased: what a reader has
// not taken yet waits in memory, in order, and goes out whenever it takes more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>

// How far the log may fall behind its reader before block lines are left out: the whole log of
// a 6 MiB image. Static storage, so the part that is never used costs no memory.
constexpr size_t logQueueBytes = 8u << 20;

// Looks at what the two streams are, and how each can be written without waiting for its
// reader. Until then, both are written as plain files.
void startOutput(int logDescriptor, int reportDescriptor);

// Back to plain writes to standard output and standard error, with nothing queued (tests).
void resetOutput();

// The log.
void logText(const char *text, size_t length);
void logLine(const char *text); // text and "\n", as puts() writes it
void logFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A block line: the first kind to be left out when the reader is far behind.
void logBlockText(const char *text, size_t length);

// The reports, written out at once (as far as their reader takes them).
void reportText(const char *text);
void reportFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "prefix: <the system's text for errno>\n", as perror() writes it.
void reportSystemError(const char *prefix);

// Writes what the readers take now, without waiting for them.
void flushOutput();

// Adds the descriptors whose readers have output waiting to watched, for POLLOUT; returns how
// many were added (at most room).
int outputDescriptorsToWatch(pollfd *watched, int room);

// Waits until everything queued is written, or its readers are gone, for up to
// limitMilliseconds (no limit when negative). Returns true when nothing is left to write; false
// after the limit, or when a signal cut the wait short.
bool drainOutput(int64_t limitMilliseconds);

// A line on the report stream that rewrites itself; a report erases it first. Only for a report
// stream of its own (startOutput found it to be a terminal that the log does not share).
bool statusLineAllowed();
void showStatusLine(const char *text);
void eraseStatusLine();
