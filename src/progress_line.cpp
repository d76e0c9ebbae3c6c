#include "progress_line.h"

#include "monotonic_clock.h"
#include "output.h"

#include <cstdio>

static const int64_t redrawMilliseconds = 100;

static int64_t startedAt = -1;
static uint32_t startedFrom = 0;
static int64_t shownAt = 0;
static uint32_t lastPosition = 0;

void showUploadProgress(uint32_t position, uint32_t size) {
    if (!statusLineAllowed() || size == 0) {
        return;
    }
    int64_t now = monotonicMilliseconds();
    // The rate counts from the first request served, or from a board that started over.
    bool startedOver = position < lastPosition;
    lastPosition = position;
    if (startedAt < 0 || startedOver) {
        startedAt = now;
        startedFrom = position;
        shownAt = now - redrawMilliseconds;
    }
    if (now - shownAt < redrawMilliseconds && position != size) {
        return;
    }
    shownAt = now;
    char line[96];
    int64_t elapsed = now - startedAt;
    if (elapsed > 0 && position > startedFrom) {
        double kibPerSecond = static_cast<double>(position - startedFrom) * 1000.0 / 1024.0 /
                              static_cast<double>(elapsed);
        snprintf(line, sizeof(line), "Uploading: %u of %u bytes (%u %%), %.1f KiB/s", position,
                 size, static_cast<unsigned>(100.0 * position / size), kibPerSecond);
    } else {
        snprintf(line, sizeof(line), "Uploading: %u of %u bytes (%u %%)", position, size,
                 static_cast<unsigned>(100.0 * position / size));
    }
    showStatusLine(line);
}
