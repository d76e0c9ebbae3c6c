// Reproducible test images: no long runs of equal bytes, so a block sent at a wrong offset or
// a byte out of place cannot go unnoticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace e2e {

std::vector<uint8_t> makeTestImage(size_t size, uint32_t seed);

} // namespace e2e
