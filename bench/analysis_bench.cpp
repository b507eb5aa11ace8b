// The block analysis per kernel: one block at a time, as the capture
// handler runs it, and many blocks interleaved, as recordings are scanned.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "tone_analysis.h"
#include "tone_kernels.h"

using namespace tonewatch;

namespace {

// Tone pairs and noise, so that the branches of the decision are exercised.
std::vector<int16_t> MakeAudio(std::size_t blocks) {
    std::vector<int16_t> audio(blocks * kBlockSamples);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-200, 200);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const double t = 2.0 * std::numbers::pi * static_cast<double>(i) / 4000.0;
        const bool tone = (i / (2 * kBlockSamples)) % 2 == 0;
        const double value = tone ? 4000 * (std::sin(852 * t) + std::sin(1477 * t)) : 0.0;
        audio[i] = static_cast<int16_t>(std::lround(value) + noise(random));
    }
    return audio;
}

void DecideAll(ToneBank* banks, std::size_t n, char* keys) {
    for (std::size_t i = 0; i < n; ++i) {
        ToneMask mask = 0;
        ToneBankDecide(mask, banks[i], kToneThreshold);
        keys[i] = ToneMaskToKey(mask);
    }
}

void OneBlock(benchmark::State& state, const ToneKernel& kernel) {
    const std::vector<int16_t> audio = MakeAudio(64);
    std::size_t block = 0;
    for (auto _ : state) {
        ToneBank bank;
        ToneBankReset(bank);
        kernel.feed_one(audio.data() + block * kBlockSamples, bank, kBlockSamples);
        char key;
        DecideAll(&bank, 1, &key);
        benchmark::DoNotOptimize(key);
        block = (block + 1) % 64;
    }
    state.SetItemsProcessed(state.iterations());
}

// Feed and decision of many blocks, as ToneAnalyseBlocks runs them.
void Batch(benchmark::State& state, const ToneKernel& kernel) {
    constexpr std::size_t kBlocks = 256;
    const std::vector<int16_t> audio = MakeAudio(kBlocks);
    std::vector<const int16_t*> starts;
    for (std::size_t i = 0; i < kBlocks; ++i) starts.push_back(audio.data() + i * kBlockSamples);
    std::vector<ToneMask> masks(kBlocks);
    std::vector<char> keys(kBlocks);
    for (auto _ : state) {
        kernel.analyse_many(starts.data(), kBlocks, kToneThreshold, masks.data());
        for (std::size_t i = 0; i < kBlocks; ++i) keys[i] = ToneMaskToKey(masks[i]);
        benchmark::DoNotOptimize(keys.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

void WholeBlockAnalysis(benchmark::State& state) {
    const std::vector<int16_t> audio = MakeAudio(64);
    std::vector<uint8_t> bytes(audio.size() * 2);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(audio[i]) & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(audio[i]) >> 8);
    }
    std::size_t block = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ToneAnalyseBlock(bytes.data() + block * kBlockBytes));
        block = (block + 1) % 64;
    }
    state.SetItemsProcessed(state.iterations());
}

const int registered = [] {
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        benchmark::RegisterBenchmark((std::string("OneBlock/") + kernel.name).c_str(), OneBlock, kernel);
    }
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        benchmark::RegisterBenchmark((std::string("Batch/") + kernel.name).c_str(), Batch, kernel);
    }
    benchmark::RegisterBenchmark("ToneAnalyseBlock", WholeBlockAnalysis);
    return 0;
}();

}

BENCHMARK_MAIN();
