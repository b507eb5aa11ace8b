#include "tonedial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_phone.h"

using tonetest::kFinishCall;
using tonetest::PhoneCall;
using tonetest::SendCall;
using tonetest::TakePhoneCalls;

namespace {

// What the phone should see for a dial of `units`: each in order, then one finish.
std::vector<PhoneCall> DialOf(const std::vector<uint32_t>& units) {
    std::vector<PhoneCall> calls;
    for (uint32_t unit : units) calls.push_back(SendCall(unit));
    calls.push_back(kFinishCall);
    return calls;
}

class Dialer : public ::testing::Test {
protected:
    void SetUp() override { TakePhoneCalls(); }
};

TEST_F(Dialer, SendsEachUnitInOrderThenFinishesOnce) {
    EXPECT_EQ(PhoneDTMF(u"123#"), 999);
    EXPECT_EQ(TakePhoneCalls(), DialOf({'1', '2', '3', '#'}));
}

TEST_F(Dialer, EmptyStringOnlyFinishes) {
    EXPECT_EQ(PhoneDTMF(u""), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), DialOf({}));
}

TEST_F(Dialer, StopsAtTheFirstTerminator) {
    const char16_t digits[] = {u'1', u'2', 0, u'3', 0};
    EXPECT_EQ(PhoneDTMF(digits), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), DialOf({'1', '2'}));
}

TEST_F(Dialer, PassesUnitsOutsideTheKeypadUnchanged) {
    EXPECT_EQ(PhoneDTMF(u"1 E,z"), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), DialOf({'1', ' ', 'E', ',', 'z'}));
}

// A sign extension would send 0xFFFF8000 and the like.
TEST_F(Dialer, ZeroExtendsEveryUnit) {
    const char16_t digits[] = {0x7FFF, 0x8000, 0xD83D, 0xDCDE, 0xFFFF, 0};
    EXPECT_EQ(PhoneDTMF(digits), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), DialOf({0x7FFF, 0x8000, 0xD83D, 0xDCDE, 0xFFFF}));
}

TEST_F(Dialer, SendsALongStringWhole) {
    std::u16string digits;
    std::vector<uint32_t> units;
    for (int i = 0; i < 70000; ++i) {
        digits += u"0123456789*#ABCD"[i % 16];
        units.push_back(digits.back());
    }
    EXPECT_EQ(PhoneDTMF(digits.c_str()), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), DialOf(units));
}

TEST_F(Dialer, EachCallIsADialOfItsOwn) {
    EXPECT_EQ(PhoneDTMF(u"1"), TONEDIAL_SENT);
    EXPECT_EQ(PhoneDTMF(u"2"), TONEDIAL_SENT);
    EXPECT_EQ(TakePhoneCalls(), (std::vector<PhoneCall>{SendCall('1'), kFinishCall, SendCall('2'), kFinishCall}));
}

TEST_F(Dialer, NullMakesNoCallAndReturnsOne) {
    EXPECT_EQ(PhoneDTMF(nullptr), 1);
    EXPECT_TRUE(TakePhoneCalls().empty());
}

}
