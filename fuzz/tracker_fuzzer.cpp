// Arbitrary samples through the press tracker, fed in pieces whose sizes the
// input chooses, against what the tracker promises: presses in order, each
// inside the stream and after the one before, keys from the keypad, and the
// same presses however the samples were cut. Layout of an input:
//   byte 0   the pieces' size pattern
//   bytes 1- the samples, 16-bit little-endian
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "press_tracker.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "tracker fuzzer: %s\n", what);
    std::abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::vector<int16_t> samples((size - 1) / 2);
    if (!samples.empty()) std::memcpy(samples.data(), data + 1, 2 * samples.size());
    tonescan::PressTracker whole, pieces;
    whole.Feed(samples);
    whole.Finish();
    const std::size_t step = 1 + data[0] % 97;
    for (std::size_t at = 0, n = 0; at < samples.size(); at += n) {
        n = std::min(samples.size() - at, step * (1 + at % 5));
        pieces.Feed(std::span(samples).subspan(at, n));
    }
    pieces.Finish();
    Check(whole.Samples() == static_cast<int64_t>(samples.size()), "samples counted wrong");
    Check(pieces.Presses().size() == whole.Presses().size(), "pieces give other presses");
    int64_t previous_end = 0;
    for (std::size_t i = 0; i < whole.Presses().size(); ++i) {
        const tonescan::TrackedPress& p = whole.Presses()[i];
        Check(std::strchr(tonewatch::kDtmfKeys, p.key) != nullptr && p.key != '\0', "not a key");
        Check(p.start >= previous_end && p.start < p.end, "press out of order");
        Check(p.end <= whole.Samples(), "press ends after the stream");
        const tonescan::TrackedPress& q = pieces.Presses()[i];
        Check(q.key == p.key && q.start == p.start && q.end == p.end, "pieces give other presses");
        previous_end = p.end;
    }
    return 0;
}
