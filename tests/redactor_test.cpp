// libtonescan's redactor through its C API: key plans come out with no key
// left for either detector, untouched outside the spans, and with little
// more than the keys masked; the output does not depend on how the frames
// are cut into pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numbers>
#include <cstdint>
#include <string>
#include <vector>

#include "key_plans.h"
#include "tonescan.h"

namespace {

struct Redacted {
    std::vector<int16_t> audio;
    std::vector<tonescan_span> spans;
};

Redacted Redact(const std::vector<int16_t>& in, int rate, int channels, std::size_t piece,
                int fill = TONESCAN_FILL_SILENCE) {
    tonescan_redact_spec spec = TONESCAN_REDACT_SPEC_INIT(rate, channels);
    spec.fill = fill;
    int error = 0;
    tonescan_redactor* redactor = tonescan_redactor_create(&spec, &error);
    EXPECT_EQ(error, TONESCAN_OK);
    Redacted r;
    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t frames = in.size() / ch;
    std::vector<int16_t> out(piece * ch);
    const auto take = [&] {
        tonescan_span span;
        while (tonescan_redactor_take(redactor, &span, 1) == 1) r.spans.push_back(span);
    };
    for (std::size_t at = 0; at < frames; at += piece) {
        const std::size_t n = std::min(piece, frames - at);
        std::size_t written = 0;
        EXPECT_EQ(tonescan_redactor_feed_i16(redactor, in.data() + at * ch, n, out.data(), &written), TONESCAN_OK);
        EXPECT_LE(written, n);
        r.audio.insert(r.audio.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written * ch));
        take();
    }
    EXPECT_EQ(tonescan_redactor_finish(redactor), TONESCAN_OK);
    for (std::size_t written = 1; written > 0;) {
        EXPECT_EQ(tonescan_redactor_feed_i16(redactor, nullptr, piece, out.data(), &written), TONESCAN_OK);
        r.audio.insert(r.audio.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written * ch));
    }
    take();
    tonescan_redactor_destroy(redactor);
    return r;
}

std::string Keys(const std::vector<int16_t>& audio, int rate, int channels, int detector) {
    tonescan_spec spec = TONESCAN_SPEC_INIT(rate, channels);
    spec.detector = detector;
    tonescan_detector* d = tonescan_detector_create(&spec, nullptr);
    std::string keys;
    tonescan_press press;
    const std::size_t frames = audio.size() / static_cast<std::size_t>(channels);
    for (std::size_t done = 0; done < frames;) {
        std::size_t consumed = 0;
        tonescan_detector_feed_i16(d, audio.data() + done * static_cast<std::size_t>(channels), frames - done,
                                   &consumed);
        done += consumed;
        while (tonescan_detector_take(d, &press, 1) == 1) keys += press.key;
    }
    while (tonescan_detector_finish(d) == TONESCAN_EFULL) {
        while (tonescan_detector_take(d, &press, 1) == 1) keys += press.key;
    }
    while (tonescan_detector_take(d, &press, 1) == 1) keys += press.key;
    tonescan_detector_destroy(d);
    return keys;
}

class RedactorConditions : public testing::TestWithParam<std::string> {};

TEST_P(RedactorConditions, NoKeyLeftAndNothingElseChanged) {
    const tonetest::Condition* condition = nullptr;
    for (const auto* table : {&tonetest::Conditions(), &tonetest::CallConditions()}) {
        for (const tonetest::Condition& c : *table) {
            if (GetParam() == c.name) condition = &c;
        }
    }
    ASSERT_NE(condition, nullptr);
    const tonetest::Plan plan = tonetest::MakePlan(condition->shape, 2, 7);
    const std::vector<int16_t> in = tonetest::Hear(*condition, plan, 7);
    ASSERT_FALSE(in.empty());
    const int rate = condition->rate;
    const int channels = condition->channels;
    const Redacted r = Redact(in, rate, channels, 1000);
    ASSERT_EQ(r.audio.size(), in.size());
    ASSERT_FALSE(Keys(in, rate, channels, TONESCAN_RECORDING).empty());
    EXPECT_EQ(Keys(r.audio, rate, channels, TONESCAN_RECORDING), "");
    EXPECT_EQ(Keys(r.audio, rate, channels, TONESCAN_BLOCKS), "");

    // Outside the spans, sample for sample; spans in order, apart.
    std::vector<bool> masked(in.size() / static_cast<std::size_t>(channels));
    int64_t masked_frames = 0;
    int64_t previous_end = -1;
    for (const tonescan_span& s : r.spans) {
        EXPECT_LT(previous_end, s.start);
        EXPECT_LT(s.start, s.end);
        previous_end = s.end;
        masked_frames += s.end - s.start;
        for (int64_t t = s.start; t < s.end; ++t) masked[static_cast<std::size_t>(t)] = true;
    }
    std::size_t differing = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        differing += !masked[i / static_cast<std::size_t>(channels)] && r.audio[i] != in[i];
    }
    EXPECT_EQ(differing, 0u);

    // Inside the spans, past their 5 ms fades, silence.
    const int64_t fade = (rate * 5 + 999) / 1000;
    std::size_t sounding = 0;
    for (const tonescan_span& s : r.spans) {
        for (int64_t t = s.start + fade; t < s.end - fade; ++t) {
            for (int c = 0; c < channels; ++c) sounding += r.audio[static_cast<std::size_t>(t * channels + c)] != 0;
        }
    }
    EXPECT_EQ(sounding, 0u);

    // At most each key's tone (and its echo, which carries the key as well)
    // and two guards; 5 ms more for the edges, 10 where noise as strong as
    // the tones blurs them.
    const double per_key_ms = 1000.0 * static_cast<double>(masked_frames) / rate / static_cast<double>(plan.presses.size());
    const double edges_ms = condition->snr_db.value_or(100) <= 0 ? 10 : 5;
    EXPECT_LE(per_key_ms, condition->shape.tone_ms + condition->echo_ms + 2 * 20 + edges_ms) << r.spans.size() << " spans";
}

INSTANTIATE_TEST_SUITE_P(Redactor, RedactorConditions,
                         testing::Values("40 ms", "-40 dBFS", "0 dBFS clipped", "noise 6 dB SNR", "twist -8 dB",
                                         "+1.5%", "u-law", "GSM 06.10", "300-3400 Hz", "8000/s stereo",
                                         "44100/s stereo", "48000/s", "music 5 dB under", "hum 50 Hz -10 dB",
                                         "lost frames 2%", "echo 50 ms -10 dB", "noise 0 dB SNR"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (const char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(Redactor, AnyPiecesGiveTheSameOutput) {
    const tonetest::Condition& c = tonetest::Conditions()[0];
    const tonetest::Plan plan = tonetest::MakePlan(c.shape, 1, 3);
    const std::vector<int16_t> in = tonetest::Hear(c, plan, 3);
    const Redacted whole = Redact(in, c.rate, c.channels, in.size());
    EXPECT_FALSE(whole.spans.empty());
    for (const std::size_t piece : {1u, 7u, 160u, 4096u}) {
        const Redacted r = Redact(in, c.rate, c.channels, piece);
        EXPECT_EQ(r.audio, whole.audio) << piece;
        ASSERT_EQ(r.spans.size(), whole.spans.size()) << piece;
        for (std::size_t i = 0; i < r.spans.size(); ++i) {
            EXPECT_EQ(r.spans[i].start, whole.spans[i].start);
            EXPECT_EQ(r.spans[i].end, whole.spans[i].end);
            EXPECT_EQ(r.spans[i].key, whole.spans[i].key);
        }
    }
}

// Tones of 20 to 40 ms, too short for most detectors, are masked whole.
TEST(Redactor, ShortTonesAreMasked) {
    for (const double tone_ms : {22.0, 30.0}) {
        const tonetest::Plan plan = tonetest::MakePlan({.tone_ms = tone_ms, .pause_ms = 200}, 1, 11);
        const std::vector<int16_t> in = tonetest::ToPcm(tonetest::Render(plan, 8000));
        const Redacted r = Redact(in, 8000, 1, 800);
        std::size_t covered = 0;
        for (const tonetest::PlannedPress& p : plan.presses) {
            covered += std::any_of(r.spans.begin(), r.spans.end(), [&](const tonescan_span& s) {
                return s.start <= std::lround(p.start * 8000) && std::lround(p.end * 8000) <= s.end && s.key == p.key;
            });
        }
        EXPECT_EQ(covered, plan.presses.size()) << tone_ms;
    }
}

// A key's tone pair (key 5) with a third tone beside it fails the detector's
// checks for a press. At the low tone's second harmonic it still carries the
// key, as overtones of a clean pair do, and is masked as a partial; between
// the groups, where music's other notes stand, it is taken for music.
TEST(Redactor, TonePairsThatAreNoPressAreMaskedAsPartials) {
    struct Case {
        double ms;
        double third;     // amplitude of the third tone, beside 770 and 1336 Hz at 1
        double third_hz;
        int spans;
        int press;
    };
    const Case cases[] = {
        {30, 0, 1540, 1, 1},
        {30, 0.9, 1540, 1, 0},
        {60, 0.9, 1540, 1, 0},
        {30, 0.9, 1080, 0, 0},
        {60, 0.9, 1080, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<int16_t> in(8000);
        const int start = 1600;
        const int end = start + static_cast<int>(c.ms * 8);
        for (int i = start; i < end; ++i) {
            const double t = i / 8000.0;
            in[static_cast<std::size_t>(i)] = static_cast<int16_t>(
                8000 * (std::sin(2 * std::numbers::pi * 770 * t) + std::sin(2 * std::numbers::pi * 1336 * t) +
                        c.third * std::sin(2 * std::numbers::pi * c.third_hz * t)));
        }
        const Redacted r = Redact(in, 8000, 1, 333);
        ASSERT_EQ(r.spans.size(), static_cast<std::size_t>(c.spans)) << c.ms << " ms, " << c.third << " at " << c.third_hz;
        if (c.spans == 0) continue;
        EXPECT_EQ(r.spans[0].key, '5');
        EXPECT_EQ(r.spans[0].press, c.press);
        EXPECT_LE(r.spans[0].start, start - 160);
        EXPECT_GE(r.spans[0].end, end + 160);
        // Tone and guards, give or take half a window's step on each side.
        EXPECT_LE(r.spans[0].end - r.spans[0].start, end - start + 320 + 32);
        EXPECT_EQ(Keys(r.audio, 8000, 1, TONESCAN_RECORDING), "");
    }
}

// Where spans meet, and at the stream's ends: tones of keys 1, 5 and 9 at
// -6 dBFS each, placed in 2 s of silence, fed in pieces of 100 frames so
// that spans cross the redactor's delay while they are known.
TEST(Redactor, SpansMergeAndReachTheStreamsEnds) {
    struct Tone {
        char key;
        int start_ms;
        int ms;
    };
    struct Case {
        const char* what;
        std::vector<Tone> tones;
        std::size_t spans;
    };
    constexpr int kRate = 8000;
    constexpr int kTotalMs = 2000;
    const Case cases[] = {
        {"guards that overlap", {{'1', 500, 60}, {'5', 590, 60}}, 1},
        {"keys back to back", {{'1', 500, 60}, {'9', 560, 60}}, 1},
        {"keys one guard apart", {{'1', 500, 60}, {'5', 580, 60}}, 1},
        {"keys apart", {{'1', 500, 60}, {'5', 700, 60}}, 2},
        {"a key at the start", {{'5', 0, 60}}, 1},
        {"a key at the end", {{'9', kTotalMs - 60, 60}}, 1},
        {"a key across the delay", {{'1', 280, 100}}, 1},
        {"a long key across the delay", {{'5', 100, 600}}, 1},
    };
    const auto pair = [](char key) -> std::pair<double, double> {
        switch (key) {
        case '1':
            return {697, 1209};
        case '5':
            return {770, 1336};
        default:
            return {852, 1477};
        }
    };
    for (const Case& c : cases) {
        std::vector<int16_t> in(kRate * kTotalMs / 1000);
        for (const Tone& tone : c.tones) {
            const auto [low, high] = pair(tone.key);
            for (int i = tone.start_ms * 8; i < (tone.start_ms + tone.ms) * 8; ++i) {
                const double t = i / double(kRate);
                in[static_cast<std::size_t>(i)] = static_cast<int16_t>(
                    8000 * (std::sin(2 * std::numbers::pi * low * t) + std::sin(2 * std::numbers::pi * high * t)));
            }
        }
        const Redacted r = Redact(in, kRate, 1, 100);
        ASSERT_EQ(r.audio.size(), in.size()) << c.what;
        EXPECT_EQ(r.spans.size(), c.spans) << c.what;
        EXPECT_EQ(Keys(r.audio, kRate, 1, TONESCAN_RECORDING), "") << c.what;
        for (std::size_t i = 1; i < r.spans.size(); ++i) EXPECT_LT(r.spans[i - 1].end, r.spans[i].start) << c.what;
        // Each tone lies in one span with its guards, give or take a
        // millisecond at its edges, cut only by the stream's ends.
        for (const Tone& tone : c.tones) {
            const int64_t from = std::max(0, (tone.start_ms - 20) * 8);
            const int64_t to = std::min(kTotalMs, tone.start_ms + tone.ms + 20) * 8;
            const bool covered = std::any_of(r.spans.begin(), r.spans.end(), [&](const tonescan_span& s) {
                return s.start <= from + 8 && to - 8 <= s.end && s.press == 1;
            });
            EXPECT_TRUE(covered) << c.what << ": " << tone.key << " at " << tone.start_ms << " ms";
        }
        if (c.tones.front().start_ms == 0) {
            EXPECT_EQ(r.spans.front().start, 0) << c.what;
        }
        if (c.tones.back().start_ms + c.tones.back().ms == kTotalMs) {
            EXPECT_EQ(r.spans.back().end, static_cast<int64_t>(in.size())) << c.what;
        }
        // Nothing masked beyond the guards, give or take a sub-block.
        for (const tonescan_span& s : r.spans) {
            const bool near = std::any_of(c.tones.begin(), c.tones.end(), [&](const Tone& tone) {
                return s.start >= (tone.start_ms - 20) * 8 - 32;
            });
            EXPECT_TRUE(near) << c.what;
            const bool ends_near = std::any_of(c.tones.begin(), c.tones.end(), [&](const Tone& tone) {
                return s.end <= (tone.start_ms + tone.ms + 20) * 8 + 32;
            });
            EXPECT_TRUE(ends_near) << c.what;
        }
    }
}

TEST(Redactor, NoiseFillKeepsNoKey) {
    const tonetest::Condition& c = tonetest::Conditions()[6];  // noise 6 dB SNR
    const tonetest::Plan plan = tonetest::MakePlan(c.shape, 1, 5);
    const std::vector<int16_t> in = tonetest::Hear(c, plan, 5);
    const Redacted r = Redact(in, c.rate, c.channels, 512, TONESCAN_FILL_NOISE);
    EXPECT_EQ(Keys(r.audio, c.rate, c.channels, TONESCAN_RECORDING), "");
    // Noise, not silence, fills the spans.
    const tonescan_span& s = r.spans.at(0);
    int nonzero = 0;
    for (int64_t t = s.start + 100; t < s.end - 100; ++t) nonzero += r.audio[static_cast<std::size_t>(t)] != 0;
    EXPECT_GT(nonzero, 0);
}

TEST(Redactor, BadArgumentsAreRefused) {
    struct Case {
        tonescan_redact_spec spec;
        int error;
    };
    const std::vector<Case> cases = {
        {{0, 8000, 1, 20, 0}, TONESCAN_EARG},
        {TONESCAN_REDACT_SPEC_INIT(3999, 1), TONESCAN_ERATE},
        {TONESCAN_REDACT_SPEC_INIT(192001, 1), TONESCAN_ERATE},
        {TONESCAN_REDACT_SPEC_INIT(8000, 0), TONESCAN_ECHANNEL},
        {TONESCAN_REDACT_SPEC_INIT(8000, 1025), TONESCAN_ECHANNEL},
        {{sizeof(tonescan_redact_spec), 8000, 1, -1, 0}, TONESCAN_EARG},
        {{sizeof(tonescan_redact_spec), 8000, 1, 1001, 0}, TONESCAN_EARG},
        {{sizeof(tonescan_redact_spec), 8000, 1, 20, 2}, TONESCAN_EARG},
    };
    for (const Case& c : cases) {
        int error = 0;
        EXPECT_EQ(tonescan_redactor_create(&c.spec, &error), nullptr);
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(tonescan_redactor_create(nullptr, nullptr), nullptr);

    std::size_t written = 9;
    int16_t sample = 0;
    float value = 0;
    tonescan_span span;
    EXPECT_EQ(tonescan_redactor_feed_i16(nullptr, &sample, 1, &sample, &written), TONESCAN_EARG);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(tonescan_redactor_finish(nullptr), TONESCAN_EARG);
    EXPECT_EQ(tonescan_redactor_take(nullptr, &span, 1), 0u);
    EXPECT_EQ(tonescan_redactor_delay(nullptr), 0);
    tonescan_redactor_destroy(nullptr);

    const tonescan_redact_spec spec = TONESCAN_REDACT_SPEC_INIT(8000, 1);
    tonescan_redactor* r = tonescan_redactor_create(&spec, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(tonescan_redactor_delay(r), 8000 * 320 / 1000);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, &sample, 1, &sample, nullptr), TONESCAN_EARG);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, nullptr, 1, &sample, &written), TONESCAN_EARG);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, &sample, 1, nullptr, &written), TONESCAN_EARG);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, &sample, 1, &sample, &written), TONESCAN_OK);
    EXPECT_EQ(tonescan_redactor_feed_f32(r, &value, 1, &value, &written), TONESCAN_EARG);
    EXPECT_EQ(tonescan_redactor_take(r, nullptr, 1), 0u);
    EXPECT_EQ(tonescan_redactor_finish(r), TONESCAN_OK);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, &sample, 1, &sample, &written), TONESCAN_EENDED);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, nullptr, 1, &sample, &written), TONESCAN_OK);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(tonescan_redactor_feed_i16(r, nullptr, 1, &sample, &written), TONESCAN_OK);
    EXPECT_EQ(written, 0u);
    tonescan_redactor_destroy(r);
}

TEST(Redactor, FloatsOutsideSpansAreBitIdentical) {
    const tonetest::Condition& c = tonetest::Conditions()[0];
    const tonetest::Plan plan = tonetest::MakePlan(c.shape, 1, 9);
    const std::vector<int16_t> pcm = tonetest::Hear(c, plan, 9);
    std::vector<float> in(pcm.size());
    std::transform(pcm.begin(), pcm.end(), in.begin(), [](int16_t s) { return static_cast<float>(s) / 32768.0f + 1e-7f; });
    const tonescan_redact_spec spec = TONESCAN_REDACT_SPEC_INIT(c.rate, 1);
    tonescan_redactor* r = tonescan_redactor_create(&spec, nullptr);
    std::vector<float> out(in.size());
    std::size_t written = 0;
    ASSERT_EQ(tonescan_redactor_feed_f32(r, in.data(), in.size(), out.data(), &written), TONESCAN_OK);
    ASSERT_EQ(tonescan_redactor_finish(r), TONESCAN_OK);
    std::size_t more = 0;
    ASSERT_EQ(tonescan_redactor_feed_f32(r, nullptr, in.size(), out.data() + written, &more), TONESCAN_OK);
    ASSERT_EQ(written + more, in.size());
    std::vector<tonescan_span> spans(64);
    spans.resize(tonescan_redactor_take(r, spans.data(), spans.size()));
    tonescan_redactor_destroy(r);
    EXPECT_FALSE(spans.empty());
    std::size_t same = 0;
    std::size_t outside = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const bool inside = std::any_of(spans.begin(), spans.end(), [&](const tonescan_span& s) {
            return static_cast<int64_t>(i) >= s.start && static_cast<int64_t>(i) < s.end;
        });
        if (inside) continue;
        ++outside;
        same += std::memcmp(&in[i], &out[i], sizeof(float)) == 0;
    }
    EXPECT_EQ(same, outside);
}

}
