// Progress for a person watching a terminal while the log goes to a file: one line on the error
// stream, rewritten at most ten times a second, with the bytes served and the rate.
#pragma once

#include <cstdint>

// The upload stands at byte position of size.
void showUploadProgress(uint32_t position, uint32_t size);
