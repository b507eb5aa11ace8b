// libtonescan through its C API alone, as a host links it: the push
// detector against the file scanner on the same audio, at common rates and
// layouts, its queue, reset and errors, and the scanner's results.
#include "tonescan.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "key_plans.h"
#include "tone_signals.h"

namespace {

std::atomic<long> allocations{0};
// When not negative, the allocation that brings it to zero fails.
std::atomic<long> allocations_to_failure{-1};

struct Found {
    char key;
    int64_t start, end, start_us, end_us;
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
    return out << f.key << " " << f.start << "-" << f.end << " (" << f.start_us << "-" << f.end_us << " us)";
}

Found From(const tonescan_press& p) { return {p.key, p.start, p.end, p.start_us, p.end_us}; }

std::string Keys(const std::vector<Found>& presses) {
    std::string keys;
    for (const Found& p : presses) keys += p.key;
    return keys;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tonescan-api-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A WAV of 32-bit floats (format tag 3).
void WriteFloatWav(const std::string& path, const std::vector<float>& interleaved, int rate, int channels) {
    std::ofstream out(path, std::ios::binary);
    const auto word32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto word16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(interleaved.size() * 4);
    out.write("RIFF", 4);
    word32(36 + bytes);
    out.write("WAVEfmt ", 8);
    word32(16);
    word16(3);
    word16(static_cast<uint16_t>(channels));
    word32(static_cast<uint32_t>(rate));
    word32(static_cast<uint32_t>(rate * channels * 4));
    word16(static_cast<uint16_t>(channels * 4));
    word16(32);
    out.write("data", 4);
    word32(bytes);
    out.write(reinterpret_cast<const char*>(interleaved.data()), bytes);
}

// The plan's keys at `rate` on `channels` channels: the first channel holds
// the plan, others half of it, so that the average still holds the keys.
std::vector<int16_t> Interleaved(const tonetest::Plan& plan, int rate, int channels) {
    const std::vector<int16_t> mono = tonetest::ToPcm(tonetest::Render(plan, rate));
    std::vector<int16_t> out(mono.size() * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < mono.size(); ++i) {
        for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<int16_t>(c == 0 ? mono[i] : mono[i] / 2);
    }
    return out;
}

std::vector<Found> ScanFile(const std::string& path, int detector) {
    std::vector<Found> found;
    tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
    spec.detector = detector;
    tonescan_callbacks callbacks{sizeof(tonescan_callbacks), nullptr, nullptr, nullptr, &found, nullptr};
    callbacks.press = [](void* user, const tonescan_press* press) {
        static_cast<std::vector<Found>*>(user)->push_back(From(*press));
    };
    int error = 0;
    tonescan_scanner* scanner = tonescan_scanner_create(&spec, &callbacks, &error);
    EXPECT_EQ(error, TONESCAN_OK);
    EXPECT_EQ(tonescan_scanner_scan_path(scanner, path.c_str()), TONESCAN_OK) << tonescan_scanner_message(scanner);
    tonescan_scanner_destroy(scanner);
    return found;
}

// Feeds the frames in pieces of `piece` frames, taking presses after each.
template <typename Sample>
std::vector<Found> Push(const std::vector<Sample>& frames, int rate, int channels, int detector, std::size_t piece) {
    tonescan_spec spec = TONESCAN_SPEC_INIT(rate, channels);
    spec.detector = detector;
    int error = -100;
    tonescan_detector* d = tonescan_detector_create(&spec, &error);
    EXPECT_EQ(error, TONESCAN_OK);
    std::vector<Found> found;
    tonescan_press presses[8];
    const auto take = [&] {
        for (std::size_t n; (n = tonescan_detector_take(d, presses, 8)) > 0;) {
            for (std::size_t i = 0; i < n; ++i) found.push_back(From(presses[i]));
        }
    };
    const std::size_t count = frames.size() / static_cast<std::size_t>(channels);
    for (std::size_t at = 0; at < count; at += piece) {
        const std::size_t n = std::min(piece, count - at);
        std::size_t consumed = 0;
        int result;
        if constexpr (std::is_same_v<Sample, int16_t>) {
            result = tonescan_detector_feed_i16(d, frames.data() + at * channels, n, &consumed);
        } else {
            result = tonescan_detector_feed_f32(d, frames.data() + at * channels, n, &consumed);
        }
        EXPECT_EQ(result, TONESCAN_OK);
        EXPECT_EQ(consumed, n);
        take();
    }
    EXPECT_EQ(tonescan_detector_finish(d), TONESCAN_OK);
    take();
    tonescan_detector_destroy(d);
    return found;
}

struct Layout {
    int rate;
    int channels;
    bool floats;
    int detector;
};

class PushApi : public ::testing::TestWithParam<Layout> {};

// The presses of the push API are those of the file scan of the same
// samples, whatever pieces they come in, and every key of the plan is heard.
TEST_P(PushApi, FindsThePressesOfAFileScan) {
    const Layout c = GetParam();
    tonetest::Shape shape;
    shape.tone_ms = 150;
    shape.pause_ms = 150;
    const tonetest::Plan plan = tonetest::MakePlan(shape, 1, 7);
    const std::vector<int16_t> frames = Interleaved(plan, c.rate, c.channels);
    TempDir dir;
    const std::string path = dir.File("plan.wav");
    std::vector<Found> pushed;
    // Pieces of 20 ms and of an odd count, so that no piece lines up.
    const std::size_t piece = c.rate / 50 + 7;
    if (c.floats) {
        std::vector<float> floats(frames.size());
        std::transform(frames.begin(), frames.end(), floats.begin(), [](int16_t s) { return s / 32768.0f; });
        WriteFloatWav(path, floats, c.rate, c.channels);
        pushed = Push(floats, c.rate, c.channels, c.detector, piece);
    } else {
        ASSERT_TRUE(tonetest::WriteWav(path, frames, c.rate, c.channels));
        pushed = Push(frames, c.rate, c.channels, c.detector, piece);
    }
    const std::vector<Found> scanned = ScanFile(path, c.detector);
    EXPECT_EQ(pushed, scanned);
    std::string planned;
    for (const auto& p : plan.presses) planned += p.key;
    EXPECT_EQ(Keys(pushed), planned);
    for (std::size_t i = 0; i < std::min(pushed.size(), plan.presses.size()); ++i) {
        // Starts and ends in frames at the input's rate; the blocks' edges
        // lie on their 62.5 ms grid.
        const double tolerance = c.detector == TONESCAN_BLOCKS ? 0.07 : 0.005;
        EXPECT_NEAR(double(pushed[i].start) / c.rate, plan.presses[i].start, tolerance) << i;
        EXPECT_NEAR(double(pushed[i].end) / c.rate, plan.presses[i].end, tolerance) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndLayouts, PushApi,
    ::testing::Values(Layout{8000, 1, false, TONESCAN_RECORDING}, Layout{8000, 2, true, TONESCAN_RECORDING},
                      Layout{16000, 1, true, TONESCAN_RECORDING}, Layout{16000, 2, false, TONESCAN_RECORDING},
                      Layout{44100, 2, false, TONESCAN_RECORDING}, Layout{44100, 1, true, TONESCAN_RECORDING},
                      Layout{48000, 1, false, TONESCAN_RECORDING}, Layout{48000, 2, true, TONESCAN_RECORDING},
                      Layout{8000, 1, false, TONESCAN_BLOCKS}, Layout{16000, 2, true, TONESCAN_BLOCKS},
                      Layout{44100, 2, false, TONESCAN_BLOCKS}, Layout{48000, 1, true, TONESCAN_BLOCKS}));

// Levels survive the conversion from the input's rate: the recording
// detector measures each tone; the blocks detector measures none.
TEST(PushApi, PressesCarryTheirTonesLevels) {
    constexpr int kRate = 44100;
    std::vector<int16_t> mono = tonetest::Synthesize(
        {{852, tonetest::Amplitude(-12)}, {1477, tonetest::Amplitude(-18)}}, kRate / 5, kRate);
    mono.resize(mono.size() + kRate / 10);
    std::vector<int16_t> stereo;
    for (const int16_t s : mono) stereo.insert(stereo.end(), {s, s});
    for (const int detector : {TONESCAN_RECORDING, TONESCAN_BLOCKS}) {
        tonescan_spec spec = TONESCAN_SPEC_INIT(kRate, 2);
        spec.detector = detector;
        int error = 0;
        tonescan_detector* d = tonescan_detector_create(&spec, &error);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(tonescan_detector_feed_i16(d, stereo.data(), mono.size(), nullptr), TONESCAN_OK);
        ASSERT_EQ(tonescan_detector_finish(d), TONESCAN_OK);
        tonescan_press press;
        ASSERT_EQ(tonescan_detector_take(d, &press, 1), 1u) << detector;
        EXPECT_EQ(press.key, '9');
        if (detector == TONESCAN_RECORDING) {
            EXPECT_NEAR(press.low_dbfs, -12, 0.5);
            EXPECT_NEAR(press.high_dbfs, -18, 0.5);
        } else {
            EXPECT_TRUE(std::isnan(press.low_dbfs) && std::isnan(press.high_dbfs));
        }
        tonescan_detector_destroy(d);
    }
}

TEST(PushApi, BadArgumentsAreResultsNotCrashes) {
    const auto create = [](tonescan_spec spec) {
        int error = 1;
        tonescan_detector* d = tonescan_detector_create(&spec, &error);
        EXPECT_EQ(d == nullptr, error != TONESCAN_OK);
        tonescan_detector_destroy(d);
        return error;
    };
    const auto spec = [](int rate, int channels, int channel, int detector, int queue) {
        tonescan_spec s = TONESCAN_SPEC_INIT(rate, channels);
        s.channel = channel;
        s.detector = detector;
        s.queue = queue;
        return s;
    };
    const struct {
        tonescan_spec spec;
        int error;
    } cases[] = {
        {spec(8000, 1, 0, TONESCAN_RECORDING, 0), TONESCAN_OK},
        {spec(4000, 1, 0, TONESCAN_BLOCKS, 16), TONESCAN_OK},
        {spec(192000, 8, 8, TONESCAN_RECORDING, 65536), TONESCAN_OK},
        {spec(3999, 1, 0, TONESCAN_RECORDING, 0), TONESCAN_ERATE},
        {spec(192001, 1, 0, TONESCAN_RECORDING, 0), TONESCAN_ERATE},
        {spec(8000, 0, 0, TONESCAN_RECORDING, 0), TONESCAN_ECHANNEL},
        {spec(8000, 2, 3, TONESCAN_RECORDING, 0), TONESCAN_ECHANNEL},
        {spec(8000, 2, -1, TONESCAN_RECORDING, 0), TONESCAN_ECHANNEL},
        {spec(8000, 1025, 0, TONESCAN_RECORDING, 0), TONESCAN_ECHANNEL},
        {spec(8000, 1, 0, 7, 0), TONESCAN_EARG},
        {spec(8000, 1, 0, TONESCAN_RECORDING, 15), TONESCAN_EARG},
    };
    for (const auto& c : cases) EXPECT_EQ(create(c.spec), c.error) << c.spec.rate << " " << c.spec.channels;
    tonescan_spec small = TONESCAN_SPEC_INIT(8000, 1);
    small.size = 8;
    EXPECT_EQ(create(small), TONESCAN_EARG);
    int error = 0;
    EXPECT_EQ(tonescan_detector_create(nullptr, &error), nullptr);
    EXPECT_EQ(error, TONESCAN_EARG);

    const int16_t frames[4] = {};
    tonescan_press press;
    std::size_t consumed = 99;
    EXPECT_EQ(tonescan_detector_feed_i16(nullptr, frames, 4, &consumed), TONESCAN_EARG);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(tonescan_detector_finish(nullptr), TONESCAN_EARG);
    EXPECT_EQ(tonescan_detector_take(nullptr, &press, 1), 0u);
    EXPECT_EQ(tonescan_detector_reset(nullptr), TONESCAN_EARG);

    const tonescan_spec ok = TONESCAN_SPEC_INIT(8000, 1);
    tonescan_detector* d = tonescan_detector_create(&ok, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(tonescan_detector_feed_i16(d, nullptr, 4, nullptr), TONESCAN_EARG);
    EXPECT_EQ(tonescan_detector_feed_i16(d, nullptr, 0, nullptr), TONESCAN_OK);
    EXPECT_EQ(tonescan_detector_finish(d), TONESCAN_OK);
    EXPECT_EQ(tonescan_detector_feed_i16(d, frames, 4, &consumed), TONESCAN_EENDED);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(tonescan_detector_reset(d), TONESCAN_OK);
    EXPECT_EQ(tonescan_detector_feed_i16(d, frames, 4, &consumed), TONESCAN_OK);
    tonescan_detector_destroy(d);
    for (int code = TONESCAN_EINTERNAL; code <= TONESCAN_OK; ++code) EXPECT_STRNE(tonescan_strerror(code), "unknown error");
    EXPECT_STREQ(tonescan_version(), "0.1.0");
}

// A queue too small for what one feed finds stops the feed, and nothing is
// lost: taking and feeding the rest gives every press, as a reset does again.
TEST(PushApi, AFullQueueStopsTheFeedAndLosesNothing) {
    tonetest::Shape shape;
    shape.tone_ms = 60;
    shape.pause_ms = 60;
    const tonetest::Plan plan = tonetest::MakePlan(shape, 3, 11);  // 48 presses
    const std::vector<int16_t> audio = tonetest::ToPcm(tonetest::Render(plan, 8000));
    tonescan_spec spec = TONESCAN_SPEC_INIT(8000, 1);
    spec.queue = 16;
    tonescan_detector* d = tonescan_detector_create(&spec, nullptr);
    ASSERT_NE(d, nullptr);
    for (int round = 0; round < 2; ++round) {
        std::string keys;
        int stops = 0;
        tonescan_press presses[64];
        for (std::size_t at = 0; at < audio.size();) {
            std::size_t consumed = 0;
            const int result = tonescan_detector_feed_i16(d, audio.data() + at, audio.size() - at, &consumed);
            at += consumed;
            if (result == TONESCAN_EFULL) {
                ++stops;
                EXPECT_LT(at, audio.size());
            } else {
                EXPECT_EQ(result, TONESCAN_OK);
            }
            const std::size_t n = tonescan_detector_take(d, presses, 64);
            for (std::size_t i = 0; i < n; ++i) keys += presses[i].key;
        }
        EXPECT_EQ(tonescan_detector_finish(d), TONESCAN_OK);
        const std::size_t n = tonescan_detector_take(d, presses, 64);
        for (std::size_t i = 0; i < n; ++i) keys += presses[i].key;
        std::string planned;
        for (const auto& p : plan.presses) planned += p.key;
        EXPECT_EQ(keys, planned) << "round " << round;
        EXPECT_GE(stops, 2) << "round " << round;
        EXPECT_EQ(tonescan_detector_reset(d), TONESCAN_OK);
    }
    tonescan_detector_destroy(d);
}

// Once the first pieces have sized its buffers, feeding allocates nothing.
TEST(PushApi, FeedingAllocatesNothingOnceUnderWay) {
    for (const int detector : {TONESCAN_RECORDING, TONESCAN_BLOCKS}) {
        for (const int rate : {8000, 16000, 44100, 48000}) {
            tonetest::Shape shape;
            shape.tone_ms = 150;
            shape.pause_ms = 150;
            const std::vector<int16_t> audio = Interleaved(tonetest::MakePlan(shape, 1, 3), rate, 2);
            const tonescan_spec spec = [&] {
                tonescan_spec s = TONESCAN_SPEC_INIT(rate, 2);
                s.detector = detector;
                return s;
            }();
            tonescan_detector* d = tonescan_detector_create(&spec, nullptr);
            ASSERT_NE(d, nullptr);
            const std::size_t piece = static_cast<std::size_t>(rate / 50);
            const std::size_t frames = audio.size() / 2;
            tonescan_press presses[8];
            long during = 0;
            int heard = 0;
            for (std::size_t at = 0; at < frames; at += piece) {
                const long before = allocations.load();
                tonescan_detector_feed_i16(d, audio.data() + 2 * at, std::min(piece, frames - at), nullptr);
                heard += static_cast<int>(tonescan_detector_take(d, presses, 8));
                if (at >= static_cast<std::size_t>(rate)) during += allocations.load() - before;
            }
            EXPECT_EQ(during, 0) << rate << " " << detector;
            EXPECT_GE(heard, 15) << rate << " " << detector;
            tonescan_detector_destroy(d);
        }
    }
}

// Memory running out at any allocation of a creation, a reset or the first
// feeds is a code, never an exception through the C API.
TEST(PushApi, MemoryRunningOutIsACode) {
    const tonescan_spec spec = TONESCAN_SPEC_INIT(44100, 2);
    const std::vector<int16_t> silence(2 * 44100 / 10);
    for (long n = 0;; ++n) {
        allocations_to_failure = n;
        int error = 1;
        tonescan_detector* d = tonescan_detector_create(&spec, &error);
        int fed = TONESCAN_OK;
        int reset = TONESCAN_OK;
        if (d != nullptr) {
            fed = tonescan_detector_feed_i16(d, silence.data(), silence.size() / 2, nullptr);
            reset = tonescan_detector_reset(d);
        }
        const bool failed = allocations_to_failure.load() < 0;
        allocations_to_failure = -1;
        tonescan_detector_destroy(d);
        for (const int code : {error, fed, reset}) EXPECT_TRUE(code == TONESCAN_OK || code == TONESCAN_ENOMEM) << n;
        EXPECT_EQ(d == nullptr, error == TONESCAN_ENOMEM) << n;
        if (!failed) {
            EXPECT_TRUE(error == TONESCAN_OK && fed == TONESCAN_OK && reset == TONESCAN_OK);
            break;
        }
    }
}

TEST(Scanner, FailuresAreCodesWithTheirReasons) {
    TempDir dir;
    const std::vector<int16_t> audio = tonetest::ToPcm(tonetest::Render(tonetest::MakePlan({}, 1, 5), 8000));
    ASSERT_TRUE(tonetest::WriteWav(dir.File("good.wav"), audio, 8000, 1));
    std::filesystem::copy_file(dir.File("good.wav"), dir.File("cut.wav"));
    std::filesystem::resize_file(dir.File("cut.wav"), 1000);
    std::ofstream(dir.File("text.wav")) << "not audio at all, just words";
    std::filesystem::create_directory(dir.File("folder"));
    const struct {
        std::string path;
        int channel;
        int result;
        const char* message;
        int64_t stream = 0;
        std::size_t size = sizeof(tonescan_scan_spec);
    } cases[] = {
        {dir.File("good.wav"), 0, TONESCAN_OK, ""},
        {dir.File("good.wav"), 2, TONESCAN_ECHANNEL, "has no channel 2, only 1"},
        {dir.File("missing.wav"), 0, TONESCAN_EOPEN, "No such file or directory"},
        {dir.File("folder"), 0, TONESCAN_EOPEN, "is a directory"},
        {dir.File("cut.wav"), 0, TONESCAN_ETRUNCATED, "file is truncated"},
        {dir.File("text.wav"), 0, TONESCAN_EFORMAT, "not a readable audio file"},
        {dir.File("good.wav"), 0, TONESCAN_OK, "", 1},
        {dir.File("good.wav"), 0, TONESCAN_ECHANNEL, "has no audio stream 2, only 1", 2},
        // A caller built before `stream` existed: what lies past its size is
        // not read.
        {dir.File("good.wav"), 0, TONESCAN_OK, "", 2, offsetof(tonescan_scan_spec, stream)},
    };
    for (const auto& c : cases) {
        tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
        spec.channel = c.channel;
        spec.stream = c.stream;
        spec.size = c.size;
        tonescan_scanner* scanner = tonescan_scanner_create(&spec, nullptr, nullptr);
        ASSERT_NE(scanner, nullptr);
        EXPECT_EQ(tonescan_scanner_scan_path(scanner, c.path.c_str()), c.result) << c.path;
        EXPECT_EQ(std::string(tonescan_scanner_message(scanner)).rfind(c.message, 0), 0u)
            << c.path << ": " << tonescan_scanner_message(scanner);
        tonescan_scanner_destroy(scanner);
    }
    EXPECT_EQ(tonescan_scanner_scan_path(nullptr, "x"), TONESCAN_EARG);
    tonescan_scanner* scanner = tonescan_scanner_create(nullptr, nullptr, nullptr);
    EXPECT_EQ(scanner, nullptr);
    for (const std::size_t size : {std::size_t{0}, offsetof(tonescan_scan_spec, threads)}) {
        tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
        spec.size = size;
        int error = 0;
        EXPECT_EQ(tonescan_scanner_create(&spec, nullptr, &error), nullptr);
        EXPECT_EQ(error, TONESCAN_EARG);
    }
    tonescan_scan_spec negative = TONESCAN_SCAN_SPEC_INIT;
    negative.stream = -1;
    int error = 0;
    EXPECT_EQ(tonescan_scanner_create(&negative, nullptr, &error), nullptr);
    EXPECT_EQ(error, TONESCAN_EARG);
}

// A scan cancelled from another thread ends with its code; the scanner
// then reads the next file whole.
TEST(Scanner, CancelEndsAScanFromAnotherThread) {
    TempDir dir;
    std::vector<int16_t> noise(8000 * 600);
    uint32_t x = 1;
    for (int16_t& s : noise) s = static_cast<int16_t>((x = x * 1664525u + 1013904223u) >> 20);
    ASSERT_TRUE(tonetest::WriteWav(dir.File("long.wav"), noise, 8000, 1));
    struct Progress {
        tonescan_scanner* scanner = nullptr;
        std::atomic<bool> started{false};
    } progress;
    tonescan_callbacks callbacks{sizeof(tonescan_callbacks), nullptr, nullptr, nullptr, &progress, nullptr};
    callbacks.progress = [](void* user, double) { static_cast<Progress*>(user)->started = true; };
    tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
    tonescan_scanner* scanner = tonescan_scanner_create(&spec, &callbacks, nullptr);
    ASSERT_NE(scanner, nullptr);
    std::thread canceller([&] {
        while (!progress.started) std::this_thread::yield();
        tonescan_scanner_cancel(scanner);
    });
    EXPECT_EQ(tonescan_scanner_scan_path(scanner, dir.File("long.wav").c_str()), TONESCAN_ECANCELLED);
    canceller.join();
    EXPECT_EQ(tonescan_scanner_scan_path(scanner, dir.File("long.wav").c_str()), TONESCAN_OK);
    tonescan_scanner_destroy(scanner);
}

// The seconds told with the progress: what was read grows to the file's
// length, the estimated whole comes near it, in order and read in parts
// alike; a callbacks struct that ends before them, as older hosts pass,
// is served without them.
TEST(Scanner, TellsTheSecondsReadAndTheWhole) {
    TempDir dir;
    ASSERT_TRUE(tonetest::WriteWav(dir.File("quiet.wav"), std::vector<int16_t>(8000 * 200), 8000, 1));
    struct Told {
        int calls = 0;
        double read = 0.0;
        double total = 0.0;
        bool backwards = false;
    };
    for (const int threads : {1, 2}) {
        for (const bool older_host : {false, true}) {
            Told told;
            tonescan_callbacks callbacks{sizeof(tonescan_callbacks), nullptr, nullptr, nullptr, &told, nullptr};
            if (older_host) callbacks.size = offsetof(tonescan_callbacks, seconds);
            callbacks.seconds = [](void* user, double read, double total) {
                Told& t = *static_cast<Told*>(user);
                t.backwards = t.backwards || read < t.read;
                t.read = read;
                t.total = total;
                ++t.calls;
            };
            tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
            spec.threads = threads;
            int error = -1;
            tonescan_scanner* scanner = tonescan_scanner_create(&spec, &callbacks, &error);
            ASSERT_NE(scanner, nullptr) << error;
            EXPECT_EQ(tonescan_scanner_scan_path(scanner, dir.File("quiet.wav").c_str()), TONESCAN_OK);
            tonescan_scanner_destroy(scanner);
            if (older_host) {
                EXPECT_EQ(told.calls, 0) << threads;
                continue;
            }
            EXPECT_GT(told.calls, 1) << threads;
            EXPECT_FALSE(told.backwards) << threads;
            EXPECT_NEAR(told.read, 200.0, 1.0) << threads;
            EXPECT_NEAR(told.total, 200.0, 1.0) << threads;
        }
    }
    tonescan_callbacks older{};
    older.size = offsetof(tonescan_callbacks, seconds) - 1;
    tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
    int error = 0;
    EXPECT_EQ(tonescan_scanner_create(&spec, &older, &error), nullptr);
    EXPECT_EQ(error, TONESCAN_EARG);
}


// A file cut short or rewritten while it is read ends its scan with a
// reason, not a signal, and what was found before the change is told, the
// press held at it too. The change comes from the first progress call, so
// that it lands while the file is being read.
TEST(Scanner, AFileThatChangesUnderTheScanIsReported) {
    TempDir dir;
    tonetest::Shape shape;
    shape.tone_ms = 150;
    shape.pause_ms = 150;
    const tonetest::Plan plan = tonetest::MakePlan(shape, 1, 9);
    std::vector<int16_t> audio = tonetest::ToPcm(tonetest::Render(plan, 8000));
    // Long enough to be read in two parts with two threads.
    audio.resize(8000 * 150);
    const std::vector<int16_t> other(8000 * 2);
    std::vector<float> floats(audio.size());
    std::transform(audio.begin(), audio.end(), floats.begin(), [](int16_t v) { return static_cast<float>(v) / 32768.0f; });
    struct Change {
        std::string path;
        bool rewrite = false;
        int header = 0;
        int frame_bytes = 2;
        std::vector<int16_t> other;
        bool done = false;
        std::vector<Found> found;
    };
    // 16-bit WAV and raw files are read by the library itself, floats by libsndfile.
    enum Format { kWav, kRaw, kFloatWav };
    for (const Format format : {kWav, kRaw, kFloatWav}) {
        const bool raw = format == kRaw;
        for (const bool rewrite : {false, true}) {
            for (const int threads : {1, 2}) {
                for (const int detector : {TONESCAN_RECORDING, TONESCAN_BLOCKS}) {
                    SCOPED_TRACE(testing::Message() << "format " << format << " rewrite " << rewrite << " threads "
                                                    << threads << " detector " << detector);
                    Change change{dir.File(raw ? "changing.raw" : "changing.wav"), rewrite, raw ? 0 : 44,
                                  format == kFloatWav ? 4 : 2, other, false, {}};
                    if (format == kWav) {
                        ASSERT_TRUE(tonetest::WriteWav(change.path, audio, 8000, 1));
                    } else if (format == kFloatWav) {
                        WriteFloatWav(change.path, floats, 8000, 1);
                    } else {
                        std::ofstream(change.path, std::ios::binary)
                            .write(reinterpret_cast<const char*>(audio.data()),
                                   static_cast<std::streamsize>(2 * audio.size()));
                    }
                    tonescan_callbacks callbacks{sizeof(tonescan_callbacks), nullptr, nullptr, nullptr, &change, nullptr};
                    callbacks.press = [](void* user, const tonescan_press* press) {
                        static_cast<Change*>(user)->found.push_back(From(*press));
                    };
                    callbacks.progress = [](void* user, double) {
                        Change& c = *static_cast<Change*>(user);
                        if (c.done) return;
                        c.done = true;
                        if (!c.rewrite) {
                            std::filesystem::resize_file(c.path,
                                                         static_cast<std::uintmax_t>(c.header + c.frame_bytes * 8000 * 60));
                        } else if (c.header > 0) {
                            tonetest::WriteWav(c.path, c.other, 8000, 1);
                        } else {
                            std::ofstream(c.path, std::ios::binary | std::ios::trunc)
                                .write(reinterpret_cast<const char*>(c.other.data()),
                                       static_cast<std::streamsize>(2 * c.other.size()));
                        }
                    };
                    tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
                    spec.detector = detector;
                    spec.threads = threads;
                    spec.raw_rate = raw ? 8000 : 0;
                    tonescan_scanner* scanner = tonescan_scanner_create(&spec, &callbacks, nullptr);
                    ASSERT_NE(scanner, nullptr);
                    EXPECT_EQ(tonescan_scanner_scan_path(scanner, change.path.c_str()), TONESCAN_ETRUNCATED);
                    EXPECT_EQ(std::string(tonescan_scanner_message(scanner)).rfind("file changed while it was read", 0),
                              0u)
                        << tonescan_scanner_message(scanner);
                    tonescan_scanner_destroy(scanner);
                    // Cut short after the keys: every key is told.
                    if (!rewrite) {
                        EXPECT_EQ(Keys(change.found), Keys(Push(audio, 8000, 1, detector, 4096)));
                    }
                }
            }
        }
    }
}

}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (allocations_to_failure.load() >= 0 && allocations_to_failure.fetch_sub(1) == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The other forms of new and delete are this file's too: a sanitizer's
// would otherwise pair its own allocation with this file's free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
