// The recording phone: a phone library that dials nothing and remembers every
// call it gets, in order.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

namespace tonetest {

// One call into the phone library: SendDigit(unit), or FinishDigits.
struct PhoneCall {
    bool finish;
    uint32_t unit;
    bool operator==(const PhoneCall&) const = default;
};

inline PhoneCall SendCall(uint32_t unit) { return {false, unit}; }
inline constexpr PhoneCall kFinishCall{true, 0};

inline void PrintTo(const PhoneCall& call, std::ostream* out) {
    if (call.finish) {
        *out << "FinishDigits()";
    } else {
        *out << "SendDigit(0x" << std::hex << call.unit << std::dec << ")";
    }
}

// Takes the calls recorded so far and starts a fresh record.
std::vector<PhoneCall> TakePhoneCalls();

}
