#include "block_log.h"

#include "output.h"

#include <cstring>

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
// work, what it spends per block slows the stream down (bench/ measures it). The line waits in
// the log's queue with the rest, and goes out with them at the end of the request.
void logBlockLine(uint32_t size, uint32_t fileOffset) {
    static const char sizeText[] = "Sending firmware block size ";
    static const char offsetText[] = " offset ";
    char line[64];
    char *out = line;
    out = appendText(out, sizeText, sizeof(sizeText) - 1);
    out = appendDecimal(out, size);
    out = appendText(out, offsetText, sizeof(offsetText) - 1);
    out = appendDecimal(out, fileOffset);
    out = appendText(out, "\n\r", 2);
    logBlockText(line, static_cast<size_t>(out - line));
}
