// PhoneDTMF with arbitrary UTF-16 units (the input read as little-endian
// pairs, an odd last byte dropped), checked against the recording phone: one
// SendDigit per unit before the first NUL, in order and zero-extended, then
// one FinishDigits, and 999; a null pointer makes no call and returns 1.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "recording_phone.h"
#include "tonedial.h"

using tonetest::PhoneCall;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "dial fuzzer: %s\n", what);
        std::abort();
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Terminated here whether or not the input holds a NUL, so that the
    // dialler never reads past the copy.
    std::vector<char16_t> digits(size / 2 + 1, u'\0');
    std::vector<PhoneCall> expected;
    bool terminated = false;
    for (std::size_t i = 0; i < size / 2; ++i) {
        digits[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        terminated = terminated || digits[i] == u'\0';
        if (!terminated) expected.push_back(tonetest::SendCall(uint32_t{digits[i]}));
    }
    expected.push_back(tonetest::kFinishCall);

    Check(PhoneDTMF(digits.data()) == TONEDIAL_SENT, "PhoneDTMF did not return 999");
    Check(tonetest::TakePhoneCalls() == expected, "the phone got other calls than the units and one finish");

    Check(PhoneDTMF(nullptr) == TONEDIAL_NO_DIGITS, "PhoneDTMF(NULL) did not return 1");
    Check(tonetest::TakePhoneCalls().empty(), "PhoneDTMF(NULL) called the phone");
    return 0;
}
