#include "key_press.h"

#include <gtest/gtest.h>

#include <string>

using tonewatch::KeyPressAdvance;

namespace {

// Feeds one analysis result per block ('.' for none) and returns the presses.
std::string Presses(const std::string& blocks, uint32_t held = 0) {
    std::string presses;
    for (char c : blocks) {
        const char key = c == '.' ? '\0' : c;
        if (KeyPressAdvance(held, key)) presses += key;
    }
    return presses;
}

}

TEST(KeyPress, FollowsThePressTable) {
    EXPECT_EQ(Presses("5555555555"), "5");
    EXPECT_EQ(Presses("1122"), "1");            // a change of key without a gap is not a press
    EXPECT_EQ(Presses("11.11"), "11");          // one blank block releases
    EXPECT_EQ(Presses("..1.2..3"), "123");
    EXPECT_EQ(Presses("5..", /*held=*/1), "");  // held from before: the first key block is ignored
    EXPECT_EQ(Presses(".5", /*held=*/1), "5");
}

TEST(KeyPress, HeldFlagTracksLastBlock) {
    uint32_t held = 0;
    EXPECT_TRUE(KeyPressAdvance(held, '9'));
    EXPECT_EQ(held, 1u);
    EXPECT_FALSE(KeyPressAdvance(held, '#'));
    EXPECT_EQ(held, 1u);
    EXPECT_FALSE(KeyPressAdvance(held, '\0'));
    EXPECT_EQ(held, 0u);
}
