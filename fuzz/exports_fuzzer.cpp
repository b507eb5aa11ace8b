// The three exports over the scripted capture service, driven by an arbitrary
// sequence of operations and checked after each one against a small model of
// the rules: the result codes of start, the press rule, fetch handing out the
// last unfetched press once, stop counting the blocks since the last start and
// leaving nothing open or queued.
//
// An input is a list of operations, one byte each (its value modulo the
// number of operations) followed by the bytes it takes:
//   start | stop | fetch | key block (1: key index) | silent block |
//   arbitrary block (500) | partial block (2: length mod 500, then the bytes) |
//   stop fill (2: length mod 501, then the bytes) |
//   fail open / fail add / fail start (1: on when odd)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>
#include <vector>

#include "scripted_capture.h"
#include "tone_analysis.h"
#include "tone_signals.h"
#include "tonewatch.h"

using namespace tonewatch;

namespace {

constexpr int kMaxOperations = 64;
constexpr char kKeys[] = "0123456789*#ABCD";
constexpr std::chrono::seconds kIdleTimeout{10};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "exports fuzzer: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    unsigned Word() {
        const unsigned low = Byte();
        return low | (unsigned{Byte()} << 8);
    }
    std::vector<uint8_t> Bytes(std::size_t n) {
        std::vector<uint8_t> bytes(n);
        for (uint8_t& b : bytes) b = Byte();
        return bytes;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

const std::array<std::vector<uint8_t>, 16>& KeyBlocks() {
    static const auto blocks = [] {
        std::array<std::vector<uint8_t>, 16> made;
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = tonetest::ToLittleEndian(tonetest::Synthesize(tonetest::KeyTones(kKeys[i], 4000), kBlockSamples));
        }
        return made;
    }();
    return blocks;
}

// The key of a block by the scalar definition of the analysis.
char ReferenceKey(const uint8_t* bytes) {
    int16_t samples[kBlockSamples];
    for (int i = 0; i < kBlockSamples; ++i) {
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    ToneBank bank;
    ToneBankReset(bank);
    ToneBankFeed(samples, bank, kBlockSamples);
    ToneMask mask = 0;
    ToneBankDecide(mask, bank, kToneThreshold);
    return ToneMaskToKey(mask);
}

// What the detector and the scripted service should be doing, by the rules.
struct Model {
    // Detector
    std::array<uint8_t, kBlockBytes> buffer{};
    bool key_held = false;
    char16_t pending = 0;
    int32_t block_count = 0;
    // Service
    bool open = false;
    bool queued = false;
    bool started = false;
    std::deque<std::vector<uint8_t>> script;
    std::vector<uint8_t> stop_fill;
    bool fail_open = false;
    bool fail_add = false;
    bool fail_start = false;
    int notifications = 0;
    int notifications_at_start = 0;
    int empty_hand_backs = 0;  // since the last start

    // A buffer handed back with `bytes` recorded: bytes past them keep what
    // the buffer held.
    void Deliver(const std::vector<uint8_t>& bytes) {
        std::copy_n(bytes.begin(), std::min(bytes.size(), buffer.size()), buffer.begin());
        ++notifications;
        const char key = ReferenceKey(buffer.data());
        if (key == '\0') {
            key_held = false;
        } else if (!key_held) {
            key_held = true;
            pending = static_cast<char16_t>(key);
        }
        ++block_count;
    }

    void Pump() {
        while (open && started && queued && !script.empty()) {
            const std::vector<uint8_t> block = script.front();
            script.pop_front();
            Deliver(block);
            queued = !fail_add;  // the handler's own re-queue
        }
    }

    int32_t Start() {
        block_count = 0;
        notifications_at_start = notifications;
        empty_hand_backs = 0;
        if (open || fail_open) return TONEWATCH_OPEN_FAILED;
        open = true;
        if (fail_add) return TONEWATCH_QUEUE_FAILED;
        queued = true;
        if (fail_start) return TONEWATCH_START_FAILED;
        started = true;
        Pump();
        return TONEWATCH_RUNNING;
    }

    int32_t Stop() {
        // A queued buffer with recorded bytes comes back before the close;
        // an empty one comes back from the stop's reset and is no block.
        if (open && queued && !stop_fill.empty()) {
            Deliver(stop_fill);
        } else if (open && queued) {
            ++notifications;
            ++empty_hand_backs;
        }
        open = queued = started = false;
        return block_count;
    }

    char16_t Fetch() { return std::exchange(pending, 0); }
};

Model model;
const char16_t* returned = nullptr;
char16_t returned_copy[2] = {0, 0};

void CheckReturned(const char16_t* got, char16_t expected) {
    const bool right = expected == 0 ? got[0] == u'\0' : got[0] == expected && got[1] == u'\0';
    Check(right, "fetch handed out the wrong press");
    returned = got;
    returned_copy[0] = got[0];
    returned_copy[1] = got[0] == u'\0' ? u'\0' : got[1];
}

void Sync() {
    Check(scripted::WaitIdle(kIdleTimeout), "the scripted service did not settle");
    const scripted::Counters c = scripted::Count();
    Check(c.open_devices == (model.open ? 1 : 0), "open devices differ from the model");
    Check(c.buffer_queued == (model.open && model.queued), "queued buffer differs from the model");
    Check(c.data_notifications == model.notifications, "notifications differ from the model");
    Check(c.blocks_left == static_cast<int>(model.script.size()), "blocks left differ from the model");
    if (returned != nullptr) {
        Check(returned[0] == returned_copy[0] && (returned_copy[0] == u'\0' || returned[1] == u'\0'),
              "the fetched string changed before the next fetch");
    }
}

void Queue(const std::vector<uint8_t>& block) {
    model.script.push_back(block);
    scripted::QueueBlock(block);
    model.Pump();
}

void Stop() {
    const int32_t expected = model.Stop();
    const int32_t got = PhoneDTMFCheckStop();
    Sync();
    Check(got == expected, "stop returned another count than the model's");
    Check(got == scripted::Count().data_notifications - model.notifications_at_start - model.empty_hand_backs,
          "stop returned another count than the blocks notified since the last start");
    const scripted::Counters c = scripted::Count();
    Check(c.open_devices == 0 && !c.buffer_queued, "something left open or queued after stop");
}

// The detector keeps its state across inputs: bring it to idle, no key held,
// nothing pending, a silent buffer and a count of 0, with a fresh service.
void ResetDetector() {
    scripted::Reset();
    PhoneDTMFCheckStop();
    Check(PhoneDTMFCheckStart() == TONEWATCH_RUNNING, "reset: start failed");
    scripted::QueueBlock(std::vector<uint8_t>(kBlockBytes, 0));
    Check(scripted::WaitIdle(kIdleTimeout), "reset: the silent block was not handled");
    PhoneDTMFCheckStop();
    scripted::FailOpen(true);
    Check(PhoneDTMFCheckStart() == TONEWATCH_OPEN_FAILED, "reset: a failed open did not return 1");
    scripted::Reset();
    model = Model{};
    CheckReturned(PhoneDTMFReturnChar(), 0);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ResetDetector();
    Input in(data, size);
    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        switch (in.Byte() % 11) {
            case 0: {
                const int32_t expected = model.Start();
                Check(PhoneDTMFCheckStart() == expected, "start returned another code than designed");
                break;
            }
            case 1:
                Stop();
                break;
            case 2:
                CheckReturned(PhoneDTMFReturnChar(), model.Fetch());
                break;
            case 3:
                Queue(KeyBlocks()[in.Byte() % KeyBlocks().size()]);
                break;
            case 4:
                Queue(std::vector<uint8_t>(kBlockBytes, 0));
                break;
            case 5:
                Queue(in.Bytes(kBlockBytes));
                break;
            case 6:
                Queue(in.Bytes(in.Word() % kBlockBytes));
                break;
            case 7:
                model.stop_fill = in.Bytes(in.Word() % (kBlockBytes + 1));
                scripted::SetStopFill(model.stop_fill);
                break;
            case 8:
                model.fail_open = in.Byte() % 2 != 0;
                scripted::FailOpen(model.fail_open);
                break;
            case 9:
                model.fail_add = in.Byte() % 2 != 0;
                scripted::FailAddBuffer(model.fail_add);
                break;
            default:
                model.fail_start = in.Byte() % 2 != 0;
                scripted::FailStart(model.fail_start);
                break;
        }
        Sync();
    }
    Stop();
    CheckReturned(PhoneDTMFReturnChar(), model.Fetch());
    return 0;
}
