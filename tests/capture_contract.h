// What the capture contract tests need of a backend beyond the seam itself:
// a way to say what its device 0 will capture. One implementation per backend.
#pragma once

#include <cstdint>
#include <vector>

namespace capturecontract {

// Before each test: a device 0 that can be opened, with nothing to capture.
void PrepareBackend();

// The next capture on device 0 delivers `bytes` (whole 500-byte blocks of
// 16-bit mono at 4000/s) from its first frame on.
void ProvideInput(const std::vector<uint8_t>& bytes);

}
