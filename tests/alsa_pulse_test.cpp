// The ALSA capture service in real time, on private audio servers of the
// test's own, PulseAudio (scripts/pulse-private) and PipeWire
// (scripts/pipewire-private): keys played into the server's null sink by
// paplay are captured from the sink's monitor through ALSA's pulse plugin.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture_recorder.h"
#include "capture_service.h"
#include "dtmf_keypad.h"
#include "tone_analysis.h"

using namespace tonewatch;
using capturetest::Block;
using capturetest::Footprint;
using capturetest::HeardKeys;
using capturetest::Recorder;
using capturetest::StartCapture;
using capturetest::StopAndClose;

namespace {

// What a helper's start says when its server is not installed.
constexpr int kNotInstalled = 77;

// Runs a command; its output, and its exit status in `status`.
std::string Run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    const int result = pclose(pipe);
    if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return out;
}

// A server started by a helper script, whose exports this process takes on.
class PrivatePulse {
public:
    explicit PrivatePulse(const std::string& helper)
        : helper_(std::string(TONEWATCH_SOURCE_DIR) + "/scripts/" + helper) {}

    bool Start() {
        const std::string exports = Run(helper_ + " start", &status_);
        std::size_t at = 0;
        while (at < exports.size()) {
            std::size_t end = exports.find('\n', at);
            if (end == std::string::npos) end = exports.size();
            const std::string line = exports.substr(at, end - at);
            at = end + 1;
            const std::size_t equals = line.find('=');
            if (line.rfind("export ", 0) != 0 || equals == std::string::npos) continue;
            setenv(line.substr(7, equals - 7).c_str(), line.substr(equals + 1).c_str(), 1);
        }
        const char* dir = std::getenv("TONEWATCH_PULSE_DIR");
        dir_ = dir != nullptr ? dir : "";
        return !dir_.empty() && exports.find("PULSE_SERVER=") != std::string::npos;
    }

    bool NotInstalled() const { return status_ == kNotInstalled; }

    // The server dies as in a crash: every process of its group at once.
    void Kill() { SignalGroup(SIGKILL); }

    // The server hangs: every process of its group stops, until Thaw.
    void Freeze() {
        frozen_ = true;
        SignalGroup(SIGSTOP);
    }

    void Thaw() {
        if (frozen_) SignalGroup(SIGCONT);
        frozen_ = false;
    }

    void Stop() {
        Thaw();
        if (!dir_.empty()) Run(helper_ + " stop " + dir_);
        dir_.clear();
    }

    const std::string& Dir() const { return dir_; }

    ~PrivatePulse() { Stop(); }

private:
    void SignalGroup(int signal) {
        std::ifstream pid_file(dir_ + "/pid");
        pid_t group = 0;
        if (pid_file >> group && group > 0) kill(-group, signal);
    }

    std::string helper_;
    int status_ = 0;
    std::string dir_;
    bool frozen_ = false;
};

// Each test runs on each server; PulseAudio may be missing where pipewire-alsa
// is installed, since the two packages conflict.
class AlsaPulseCapture : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!server_.Start() && server_.NotInstalled()) GTEST_SKIP() << GetParam() << ": its server is not installed";
        ASSERT_FALSE(server_.Dir().empty()) << GetParam() << " did not start";
    }
    PrivatePulse server_{GetParam()};
};

// A WAV file of the keys made by sox: 150 ms of each pair, 150 ms of silence.
bool MakeKeySequence(const std::string& dir, const std::string& keys, std::string& path) {
    std::string parts;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::optional<tonewatch::KeyPair> pair = tonewatch::KeyFrequencies(keys[i]);
        if (!pair) continue;
        const std::string part = dir + "/key" + std::to_string(i) + ".wav";
        // Two channels of one sine each, mixed down: 4096 peak per tone.
        const std::string command = "sox -n -r 8000 -b 16 -c 2 " + part + " synth 0.15 sine " +
                                    std::to_string(pair->low_hz) + " sine " + std::to_string(pair->high_hz) +
                                    " remix - vol 0.25 pad 0 0.15";
        if (std::system(command.c_str()) != 0) return false;
        parts += " " + part;
    }
    path = dir + "/keys.wav";
    return std::system(("sox" + parts + " " + path).c_str()) == 0;
}

TEST_P(AlsaPulseCapture, HearsEveryKeyOnceInOrder) {
    const std::string keys = "1223559#0D";
    std::string sequence;
    ASSERT_TRUE(MakeKeySequence(server_.Dir(), keys, sequence));

    Recorder recorder(1000);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(recorder.WaitForBlocks(2));
    const auto wall_start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    ASSERT_EQ(std::system(("paplay -d tonewatch_loop " + sequence).c_str()), 0);
    // The last key and the silence after it are still on their way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (HeardKeys(recorder.Blocks()) != keys && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_start;
    StopAndClose(recorder, device, header);

    EXPECT_EQ(HeardKeys(recorder.Blocks()), keys);
    // Listening waits in poll; a thread that spun would take a whole core.
    EXPECT_LT(cpu, 0.1 * wall.count());
    EXPECT_TRUE(recorder.ContractKept());
}

TEST_P(AlsaPulseCapture, CaptureGoesOnAfterALongStall) {
    Recorder recorder(3);  // the fourth block is not queued again
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(recorder.WaitForBlocks(4));
    // Nothing is queued for far longer than the device's own buffer lasts
    // (the pulse plugin drops what does not fit rather than report an
    // overrun); the next queued buffer must still be filled.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    header.bytes_recorded = 0;
    ASSERT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureOk);
    EXPECT_TRUE(recorder.WaitForBlocks(5, std::chrono::seconds(5)));
    StopAndClose(recorder, device, header);
    EXPECT_TRUE(recorder.ContractKept());
}

TEST_P(AlsaPulseCapture, ServerKilledDuringCaptureEndsItWithoutAHang) {
    const Footprint before;
    {
        Recorder recorder(1000);
        uint8_t buffer[kBlockBytes] = {};
        WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
        const CaptureHandle device = StartCapture(recorder, header);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(recorder.WaitForBlocks(3));
        server_.Kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto stopping = std::chrono::steady_clock::now();
        StopAndClose(recorder, device, header);
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
        EXPECT_TRUE(recorder.ContractKept());
    }
    const Footprint after = capturetest::SettledFootprint(before);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    server_.Stop();

    // A server that is back is captured from again.
    ASSERT_TRUE(server_.Start());
    Recorder recorder(1000);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(recorder.WaitForBlocks(3));
    StopAndClose(recorder, device, header);
}

// A server that stops answering (SIGSTOP) while capturing, or before the
// open: the plugin would wait for it for ever in a drop or a connect. Stop and
// close return within their bound, the device counts as failed, and once the
// server is back nothing of the capture is left running.
TEST_P(AlsaPulseCapture, FrozenServerNeverHoldsAStopOrAnOpen) {
    const Footprint before;
    {
        Recorder recorder(1000);
        uint8_t buffer[kBlockBytes] = {};
        WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
        const CaptureHandle device = StartCapture(recorder, header);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(recorder.WaitForBlocks(3));
        server_.Freeze();
        const auto stopping = std::chrono::steady_clock::now();
        StopAndClose(recorder, device, header);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - stopping;
        std::printf("stop and close with a frozen server: %.3f s\n", took.count());
        EXPECT_LT(took.count(), 2.0);
        EXPECT_TRUE(recorder.ContractKept());
    }
    {
        Recorder recorder(1000);
        CaptureHandle device = nullptr;
        const WaveFormat format = capturetest::Format4000();
        const auto opening = std::chrono::steady_clock::now();
        EXPECT_EQ(CaptureOpen(&device, 0, &format, Recorder::Notify, recorder.Instance(), kCallbackFunction),
                  kCaptureNoDriver);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - opening;
        std::printf("open with a frozen server: %.3f s\n", took.count());
        EXPECT_LT(took.count(), 4.0);
        EXPECT_EQ(device, nullptr);
    }
    // The calls left behind end, and close their PCMs, once the server
    // answers again.
    server_.Thaw();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Footprint after = capturetest::SettledFootprint(before);
    while ((after.threads > before.threads || after.descriptors > before.descriptors) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        after = Footprint();
    }
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
}

INSTANTIATE_TEST_SUITE_P(Servers, AlsaPulseCapture, ::testing::Values("pulse-private", "pipewire-private"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "pulse-private" ? "pulseaudio" : "pipewire";
                         });

}
