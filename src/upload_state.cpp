#include "upload_state.h"

bool originalFirmwareErase = false;
static bool begun = false;
static uint32_t servedUpTo = 0;

void noteUploadBegins() {
    begun = true;
}

bool uploadBegun() {
    return begun;
}

void noteUploadPosition(uint32_t position) {
    servedUpTo = position;
}

uint32_t uploadPosition() {
    return servedUpTo;
}

void resetUploadState() {
    originalFirmwareErase = false;
    begun = false;
    servedUpTo = 0;
}
