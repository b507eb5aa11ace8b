// Arbitrary blocks, sample counts and starting filter states through every
// kernel this processor runs, against a reference of the filter step and the
// power written here from their formulas. Layout of an input:
//   bytes 0-499   the block (zeros past the end of the input)
//   bytes 500-501 the sample count, signed 16-bit little-endian
//   byte  502     how many banks the many-block kernels get (1-12)
//   bytes 503-    starting states, per bank and channel: delay1, delay2, latest
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string_view>

#include "tone_analysis.h"
#include "tone_kernels.h"

using namespace tonewatch;

namespace {

constexpr int kMaxCount = 1024;  // four blocks' worth: the kernels' chunk loop runs more than once
constexpr std::size_t kMaxBanks = 12;
constexpr int kBankStride = 37;  // the many-block kernels get blocks at different offsets
constexpr int kTiledSamples = kMaxCount + kBankStride * kMaxBanks + kBlockSamples * kMaxBanks;
constexpr std::string_view kKeys = "0123456789*#ABCD";
constexpr int16_t kCoefficientsQ14[kToneChannels] = {15014, 11583, 7549, 3032, -10564, -16502, -22317, -27471};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "analysis fuzzer: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte(std::size_t at) const { return at < size_ ? data_[at] : 0; }
    int16_t Word(std::size_t at) const {
        return static_cast<int16_t>(static_cast<uint16_t>(Byte(at) | (Byte(at + 1) << 8)));
    }

private:
    const uint8_t* data_;
    std::size_t size_;
};

// The step and the power from their formulas, in 64 bits, wrapped by the
// modular conversions of C++20.
void ReferenceStep(ToneFilter& f, int16_t x, int16_t c) {
    const int64_t s = ((int64_t{f.delay1} * c) >> 14) + (int64_t{x} >> 7) - f.delay2;
    f.delay2 = f.delay1;
    f.latest = static_cast<int16_t>(s);
    f.delay1 = f.latest;
}

int16_t ReferencePower(const ToneFilter& f, int16_t c) {
    const int64_t y1 = f.delay1;
    const int64_t y2 = f.delay2;
    const int64_t t = (c * y1) >> 14;
    const auto q = static_cast<int32_t>(y2 * (y2 - t) + y1 * y1);
    return static_cast<int16_t>(q >> 14);
}

void ReferenceFeed(const int16_t* samples, ToneBank& bank, int16_t count) {
    for (int n = 0; n < count; ++n) {
        for (int k = 0; k < kToneChannels; ++k) ReferenceStep(bank.filter[k], samples[n], bank.coefficient_q14[k]);
    }
}

bool SameStates(const ToneBank& a, const ToneBank& b) {
    for (int k = 0; k < kToneChannels; ++k) {
        if (a.filter[k].latest != b.filter[k].latest || a.filter[k].delay1 != b.filter[k].delay1 ||
            a.filter[k].delay2 != b.filter[k].delay2 || a.coefficient_q14[k] != b.coefficient_q14[k]) {
            return false;
        }
    }
    return true;
}

bool IsKeyOrNul(char key) { return key == '\0' || kKeys.find(key) != std::string_view::npos; }

// The key a mask must give: one bit of each group and nothing above them.
char ExpectedKey(ToneMask mask) {
    const auto bits = static_cast<uint16_t>(mask);
    for (int low = 0; low < 4; ++low) {
        for (int high = 0; high < 4; ++high) {
            if (bits == ((1u << low) | (1u << (4 + high)))) return ToneKeyTable[low][high];
        }
    }
    return '\0';
}

// Powers, mask and key of a fed bank, checked against the reference powers;
// the bank's delay words are cleared as the decision does.
ToneMask DecideChecked(ToneBank& bank) {
    int16_t powers[kToneChannels];
    uint16_t expected_mask = 0;
    for (int k = 0; k < kToneChannels; ++k) {
        powers[k] = ReferencePower(bank.filter[k], bank.coefficient_q14[k]);
        if (powers[k] > kToneThreshold) expected_mask = static_cast<uint16_t>(expected_mask | (1u << k));
    }
    ToneBank copy = bank;
    for (int k = 0; k < kToneChannels; ++k) {
        Check(ToneFilterPower(copy.filter[k], copy.coefficient_q14[k]) == powers[k], "power differs from reference");
        Check(copy.filter[k].delay1 == 0 && copy.filter[k].delay2 == 0, "power left delay words set");
        Check(copy.filter[k].latest == bank.filter[k].latest, "power changed the latest word");
    }
    ToneMask mask = 0;
    ToneBankDecide(mask, bank, kToneThreshold);
    Check(static_cast<uint16_t>(mask) == expected_mask, "mask differs from the reference powers");
    Check((static_cast<uint16_t>(mask) & 0xFF00u) == 0, "mask bits 8-15 set");
    Check(SameStates(bank, copy), "decision left other states than the powers");
    return mask;
}

void LoadStates(const Input& in, std::size_t bank_index, ToneBank& bank) {
    ToneBankReset(bank);
    for (int k = 0; k < kToneChannels; ++k) {
        const std::size_t at = 503 + (bank_index * kToneChannels + static_cast<std::size_t>(k)) * 6;
        bank.filter[k] = ToneFilter{in.Word(at + 4), in.Word(at), in.Word(at + 2)};
    }
}

}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ToneBank bank;
    ToneBankReset(bank);
    for (int k = 0; k < kToneChannels; ++k) {
        if (bank.coefficient_q14[k] != kCoefficientsQ14[k]) Fail("coefficient differs from the fixed table");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const Input in(data, size);
    uint8_t bytes[kBlockBytes];
    for (std::size_t i = 0; i < kBlockBytes; ++i) bytes[i] = in.Byte(i);
    static int16_t tiled[kTiledSamples];
    for (int i = 0; i < kTiledSamples; ++i) {
        const int at = 2 * (i % kBlockSamples);
        tiled[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)));
    }

    // The whole block, as the block handler runs it.
    ToneBank reference;
    ToneBankReset(reference);
    ReferenceFeed(tiled, reference, kBlockSamples);
    const char expected_key = ExpectedKey(DecideChecked(reference));
    const char key = ToneAnalyseBlock(bytes);
    Check(IsKeyOrNul(key), "key outside the alphabet");
    Check(key == expected_key, "block key differs from the reference");

    // Arbitrary masks map as the table says.
    const ToneMask any_mask = in.Word(500);
    Check(ToneMaskToKey(any_mask) == ExpectedKey(any_mask), "mask maps to the wrong key");

    // Every kernel, one bank, from an arbitrary state and count.
    int16_t count = in.Word(500);
    if (count > kMaxCount) count = static_cast<int16_t>(count % (kMaxCount + 1));
    ToneBank start;
    LoadStates(in, 0, start);
    ToneBank expected = start;
    ReferenceFeed(tiled, expected, count);
    ToneBank scalar = start;
    ToneBankFeed(tiled, scalar, count);
    Check(SameStates(scalar, expected), "scalar feed differs from the reference step");
    const ToneMask expected_mask = DecideChecked(scalar);
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        ToneBank fed = start;
        kernel.feed_one(tiled, fed, count);
        if (!SameStates(fed, expected)) Fail(kernel.name);
        if (DecideChecked(fed) != expected_mask) Fail(kernel.name);
    }

    // Every many-block kernel, on banks at different offsets and states.
    const std::size_t banks = 1 + in.Byte(502) % kMaxBanks;
    ToneBank starts[kMaxBanks];
    ToneBank expected_many[kMaxBanks];
    const int16_t* blocks[kMaxBanks];
    for (std::size_t b = 0; b < banks; ++b) {
        LoadStates(in, b, starts[b]);
        blocks[b] = tiled + kBankStride * static_cast<int>(b);
        expected_many[b] = starts[b];
        ReferenceFeed(blocks[b], expected_many[b], count);
    }
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        ToneBank fed[kMaxBanks];
        std::copy(starts, starts + banks, fed);
        kernel.feed_many(blocks, fed, banks, count);
        for (std::size_t b = 0; b < banks; ++b) {
            if (!SameStates(fed[b], expected_many[b])) Fail(kernel.name);
        }
    }

    // Consecutive whole blocks through the chosen kernel, as dtmf-scan runs them.
    char keys[kMaxBanks];
    const int16_t* run = tiled + kMaxCount;
    ToneAnalyseBlocks(run, banks, keys);
    const int16_t* run_blocks[kMaxBanks];
    ToneMask expected_masks[kMaxBanks];
    for (std::size_t b = 0; b < banks; ++b) {
        ToneBank one;
        ToneBankReset(one);
        ReferenceFeed(run + b * kBlockSamples, one, kBlockSamples);
        expected_masks[b] = DecideChecked(one);
        Check(keys[b] == ExpectedKey(expected_masks[b]), "many-block key differs from the reference");
        run_blocks[b] = run + b * kBlockSamples;
    }
    // Every kernel's own decision of whole blocks.
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        ToneMask masks[kMaxBanks];
        kernel.analyse_many(run_blocks, banks, kToneThreshold, masks);
        for (std::size_t b = 0; b < banks; ++b) {
            if (masks[b] != expected_masks[b]) Fail(kernel.name);
        }
    }
    return 0;
}
