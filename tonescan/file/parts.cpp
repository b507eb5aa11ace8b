#include "parts.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "input.h"
#include "mix.h"
#include "rate_converter.h"

namespace tonescan {

namespace {

// Parts are at least this long: shorter ones would not pay for their threads.
constexpr sf_count_t kMinPartSeconds = 60;
constexpr int kMostParts = 16;

}

bool DecodeInParts(const SF_INFO& info, const OpenFrames& open, const DecodeCallbacks& callbacks,
                   const ScanTarget& target) {
    const int rate = info.samplerate;
    if (callbacks.threads < 2 || !IntegerInput(info) || target.rate != kScanRate ||
        !RateConverter::ConvertsInParts(rate) || ChannelProblem(info, target)) {
        return false;
    }
    const sf_count_t frames = info.frames;
    const int count = static_cast<int>(
        std::min<sf_count_t>(std::min(callbacks.threads, kMostParts), frames / (kMinPartSeconds * rate)));
    if (count < 2) return false;
    // Whole seconds per part; the last takes the rest, at least as much.
    const sf_count_t part_frames = frames / (count * static_cast<sf_count_t>(rate)) * rate;
    const auto channels = static_cast<std::size_t>(info.channels);
    const int summed = target.channel > 0 ? 1 : info.channels;
    std::atomic<sf_count_t> read_so_far{0};
    // Decodes part k; false when it could not be read whole.
    auto run = [&](int k) {
        const bool last = k == count - 1;
        const sf_count_t begin = k * part_frames;
        const sf_count_t from = k == 0 ? 0 : begin - rate;
        const sf_count_t to = last ? frames : begin + part_frames + rate;
        std::optional<FrameReader> read = open(from);
        if (!read) return false;
        std::size_t skip = k == 0 ? 0 : kScanRate;
        std::size_t keep = last ? SIZE_MAX : static_cast<std::size_t>(part_frames / rate * kScanRate);
        const std::function<void(std::span<const int16_t>)> sink = [&](std::span<const int16_t> samples) {
            const std::size_t skipped = std::min(skip, samples.size());
            skip -= skipped;
            samples = samples.subspan(skipped);
            samples = samples.first(std::min(keep, samples.size()));
            keep -= samples.size();
            if (!samples.empty()) callbacks.part_samples(k, samples);
        };
        RateConverter converter(sink);
        if (!converter.Open(rate, kScanRate, true).empty()) return false;
        Buffer<int32_t> sums;
        for (sf_count_t at = from; at < to;) {
            const std::span<const unsigned char> bytes = (*read)(std::min(kFileReadFrames, to - at));
            if (bytes.empty() || callbacks.Cancelled()) return false;
            const auto got = static_cast<sf_count_t>(bytes.size() / (2 * channels));
            MixShorts(bytes.data(), static_cast<std::size_t>(got), channels, target.channel, sums);
            converter.PushSums(sums, summed);
            at += got;
            const sf_count_t so_far = read_so_far.fetch_add(got) + got;
            callbacks.progress(std::min(1.0, static_cast<double>(so_far) / static_cast<double>(frames)));
        }
        if (last) converter.Flush(summed);
        return true;
    };
    callbacks.rate(rate);
    callbacks.parts_begin(count);
    std::vector<char> done(static_cast<std::size_t>(count), 0);
    std::vector<std::thread> threads;
    for (int k = 0; k + 1 < count; ++k) {
        threads.emplace_back([&, k] { done[static_cast<std::size_t>(k)] = run(k); });
    }
    done.back() = run(count - 1);
    for (std::thread& thread : threads) thread.join();
    if (std::find(done.begin(), done.end(), 0) == done.end()) return true;
    callbacks.parts_begin(0);
    return false;
}

}
