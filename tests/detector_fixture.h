// Helpers for driving the detector's exports through the scripted service.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_capture.h"
#include "tone_signals.h"
#include "tonewatch.h"

namespace tonetest {

inline std::vector<uint8_t> KeyBlock(char key, double amplitude = 4000) {
    return ToLittleEndian(Synthesize(KeyTones(key, amplitude), 250));
}

inline std::vector<uint8_t> SilentBlock() { return std::vector<uint8_t>(500, 0); }

inline std::u16string Fetch() { return std::u16string(PhoneDTMFReturnChar()); }

// Leaves the detector idle, with no key held and nothing pending, and the
// scripted service fresh.
class DetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::Reset();
        ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
        scripted::QueueBlock(SilentBlock());
        ASSERT_TRUE(scripted::WaitIdle());
        PhoneDTMFCheckStop();
        Fetch();
        scripted::Reset();
    }
    void TearDown() override {
        PhoneDTMFCheckStop();
        EXPECT_EQ(scripted::Count().open_devices, 0);
    }
    // Plays blocks given as a string: a key character, or '.' for silence.
    static void Play(const std::string& blocks) {
        for (char c : blocks) scripted::QueueBlock(c == '.' ? SilentBlock() : KeyBlock(c));
        ASSERT_TRUE(scripted::WaitIdle());
    }
};

}
