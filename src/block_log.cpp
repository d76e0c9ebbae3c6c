#include "block_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

// A request's block lines are gathered here and reach the log in one write instead of one write
// each, which held the block stream back (bench/ measures it). They are pushed out through stdout
// at the end of the request and before anything else is printed or the process ends, so the log
// holds the same bytes in the same order, relative to the error stream too.
static char blockLines[BUFSIZ];
static size_t blockLinesLength = 0;
static const size_t longestBlockLine = 64;

void flushBlockLines() {
    if (blockLinesLength != 0) {
        // An error about to be reported must keep its errno through the log write.
        int savedErrno = errno;
        fwrite(blockLines, 1, blockLinesLength, stdout);
        blockLinesLength = 0;
        errno = savedErrno;
    }
}

static char *appendText(char *out, const char *text, size_t length) {
    memcpy(out, text, length);
    return out + length;
}

static char *appendDecimal(char *out, uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

// The bytes of printf("Sending firmware block size %i offset %u\n\r", size, fileOffset) for a
// size above 0, at a fraction of the instructions: where the flasher shares a core with other
// work, what it spends per block slows the stream down (bench/ measures it).
void logBlockLine(uint32_t size, uint32_t fileOffset) {
    static const char sizeText[] = "Sending firmware block size ";
    static const char offsetText[] = " offset ";
    if (sizeof(blockLines) - blockLinesLength < longestBlockLine) {
        flushBlockLines();
    }
    char *out = blockLines + blockLinesLength;
    out = appendText(out, sizeText, sizeof(sizeText) - 1);
    out = appendDecimal(out, size);
    out = appendText(out, offsetText, sizeof(offsetText) - 1);
    out = appendDecimal(out, fileOffset);
    out = appendText(out, "\n\r", 2);
    blockLinesLength = static_cast<size_t>(out - blockLines);
}
