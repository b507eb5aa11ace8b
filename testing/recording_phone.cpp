#include "recording_phone.h"

#include <mutex>
#include <utility>

#include "phone_service.h"

namespace {

// Guarded like the real phone's state: hosts may dial from several threads.
std::mutex record_lock;
std::vector<tonetest::PhoneCall> record;

}

namespace tonedial {

void SendDigit(uint32_t unit) {
    const std::lock_guard<std::mutex> guard(record_lock);
    record.push_back(tonetest::SendCall(unit));
}

void FinishDigits() {
    const std::lock_guard<std::mutex> guard(record_lock);
    record.push_back(tonetest::kFinishCall);
}

}

std::vector<tonetest::PhoneCall> tonetest::TakePhoneCalls() {
    const std::lock_guard<std::mutex> guard(record_lock);
    return std::exchange(record, {});
}
