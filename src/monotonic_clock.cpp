#include "monotonic_clock.h"

#include <ctime>

int64_t monotonicNanoseconds() {
    timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t monotonicMilliseconds() {
    return monotonicNanoseconds() / 1000000;
}
