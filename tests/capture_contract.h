// What the capture contract tests need of a backend beyond the seam itself:
// a way to say what its device 0 will capture, where it can. One
// implementation per backend.
#pragma once

#include <cstdint>
#include <vector>

namespace capturecontract {

// Before each test: a device 0 that can be opened, with nothing to capture.
void PrepareBackend();

// True when device 0 captures exactly what ProvideInput gives it. A real audio
// server's loopback cannot: it captures in real time what it hears, after
// its own rate conversion, and ProvideInput does nothing.
bool InputIsExact();

// The next capture on device 0 delivers `bytes` (whole 500-byte blocks of
// 16-bit mono at 4000/s) from its first frame on.
void ProvideInput(const std::vector<uint8_t>& bytes);

}
