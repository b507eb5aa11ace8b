#include <gtest/gtest.h>

#include "detector_fixture.h"

using namespace tonetest;

// Runs first in this binary: nothing has touched the detector yet.
TEST(DetectorAtLoad, FetchBeforeAnyStartIsEmpty) {
    EXPECT_EQ(Fetch(), u"");
    EXPECT_EQ(PhoneDTMFCheckStop(), 0);
    EXPECT_EQ(scripted::Count().opens, 0);
}

TEST_F(DetectorTest, PressIsHandedOutOnce) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("555.");
    const char16_t* first = PhoneDTMFReturnChar();
    EXPECT_EQ(std::u16string(first), u"5");
    EXPECT_EQ(first[1], u'\0');
    EXPECT_EQ(Fetch(), u"");
    EXPECT_EQ(PhoneDTMFCheckStop(), 4);
}

TEST_F(DetectorTest, PressRules) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("7777777777");
    EXPECT_EQ(Fetch(), u"7");
    Play("7.");
    EXPECT_EQ(Fetch(), u"") << "a key held over many blocks is one press";

    Play("1122.");
    EXPECT_EQ(Fetch(), u"1") << "a change of key without a gap is not a press";

    Play("1");
    EXPECT_EQ(Fetch(), u"1");
    scripted::QueueBlock(ToLittleEndian(Synthesize({{697, 4000}}, 250)));
    Play("1.");
    EXPECT_EQ(Fetch(), u"1") << "a block that is not a key releases the held key";

    Play("1.2.");
    EXPECT_EQ(Fetch(), u"2") << "the last press between two fetches wins";
    EXPECT_EQ(PhoneDTMFCheckStop(), 10 + 2 + 5 + 1 + 3 + 4);
}

TEST_F(DetectorTest, StopCountsEveryBlockSinceTheLastStart) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    EXPECT_EQ(PhoneDTMFCheckStop(), 0);
    EXPECT_EQ(PhoneDTMFCheckStop(), 0) << "a stop while idle changes nothing";
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("..3..");
    EXPECT_EQ(PhoneDTMFCheckStop(), 5);
    EXPECT_EQ(PhoneDTMFCheckStop(), 5);
    const scripted::Counters c = scripted::Count();
    EXPECT_EQ(c.opens, 2);
    EXPECT_EQ(c.closes, 2);
    // Each stop's reset hands the empty buffer back too; that is no block.
    EXPECT_EQ(c.data_notifications, 5 + 2);
}

TEST_F(DetectorTest, StateSurvivesARestart) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("4");
    PhoneDTMFCheckStop();
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    EXPECT_EQ(Fetch(), u"4") << "an unfetched press outlives the restart";
    Play("44");
    EXPECT_EQ(Fetch(), u"") << "the key is still held from the previous run";
    Play(".4");
    EXPECT_EQ(Fetch(), u"4");
}

TEST_F(DetectorTest, FailedOpen) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("...");
    PhoneDTMFCheckStop();
    scripted::FailOpen(true);
    EXPECT_EQ(PhoneDTMFCheckStart(), TONEWATCH_OPEN_FAILED);
    EXPECT_EQ(scripted::Count().open_devices, 0);
    EXPECT_EQ(PhoneDTMFCheckStop(), 0) << "the failed start reset the count";
    scripted::FailOpen(false);
    EXPECT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
}

TEST_F(DetectorTest, FailedQueueLeavesTheDeviceOpenUntilStop) {
    scripted::FailAddBuffer(true);
    EXPECT_EQ(PhoneDTMFCheckStart(), TONEWATCH_QUEUE_FAILED);
    EXPECT_EQ(scripted::Count().open_devices, 1);
    EXPECT_FALSE(scripted::Count().buffer_queued);
    EXPECT_EQ(PhoneDTMFCheckStop(), 0);
    EXPECT_EQ(scripted::Count().open_devices, 0);
}

TEST_F(DetectorTest, FailedStartLeavesTheBufferQueuedUntilStop) {
    scripted::FailStart(true);
    scripted::QueueBlock(KeyBlock('6'));
    EXPECT_EQ(PhoneDTMFCheckStart(), TONEWATCH_START_FAILED);
    EXPECT_EQ(scripted::Count().open_devices, 1);
    EXPECT_TRUE(scripted::Count().buffer_queued);
    EXPECT_EQ(scripted::Count().blocks_left, 1) << "nothing is captured before a start";
    EXPECT_EQ(PhoneDTMFCheckStop(), 0);
    const scripted::Counters c = scripted::Count();
    EXPECT_EQ(c.open_devices, 0);
    EXPECT_EQ(c.close_refusals, 0);
}

TEST_F(DetectorTest, SecondStartFailsAndLeavesCaptureRunning) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("..");
    EXPECT_EQ(PhoneDTMFCheckStart(), TONEWATCH_OPEN_FAILED);
    EXPECT_EQ(scripted::Count().opens, 1);
    Play("8.");
    EXPECT_EQ(Fetch(), u"8");
    EXPECT_EQ(PhoneDTMFCheckStop(), 2) << "the count restarted at the second start";
    EXPECT_EQ(scripted::Count().open_devices, 0);
}

TEST_F(DetectorTest, PartlyFilledBufferIsAnalysedWithItsStaleTail) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("5");
    EXPECT_EQ(Fetch(), u"5");
    // Ten bytes of silence over a buffer that still holds the tone: the block
    // still reads as 5, so the key stays held and the next 5 is no new press.
    scripted::QueueBlock(std::vector<uint8_t>(10, 0));
    Play("5");
    EXPECT_EQ(Fetch(), u"");
    EXPECT_EQ(PhoneDTMFCheckStop(), 3);
}

TEST_F(DetectorTest, BlockHandedBackAtStopIsAnalysedAndCounted) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    Play("..");
    std::vector<uint8_t> partial = KeyBlock('8');
    partial.resize(498);
    scripted::SetStopFill(partial);
    EXPECT_EQ(PhoneDTMFCheckStop(), 3);
    EXPECT_EQ(Fetch(), u"8");
    const scripted::Counters c = scripted::Count();
    EXPECT_EQ(c.open_devices, 0);
    EXPECT_FALSE(c.buffer_queued);
}

TEST_F(DetectorTest, EveryKeyArrivesAsItsUtf16Unit) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    for (char key : std::string("0123456789*#ABCD")) {
        Play(std::string(1, key) + ".");
        EXPECT_EQ(Fetch(), std::u16string(1, static_cast<char16_t>(key)));
    }
}
