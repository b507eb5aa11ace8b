// Runs our two detectors and two others over the same audio and prints what
// each heard and how fast:
//   1. speed on a synthesized key plan (tones and pauses 150-300 ms, low
//      noise): the block analysis at 4000/s (one block at a time as the
//      capture handler does, and many blocks interleaved as recordings are
//      scanned), the press tracker and spandsp's dtmf_rx at 8000/s, and
//      multimon-ng as a whole process on the plan at 22050/s;
//   2. the key plans of every test condition (100 presses per key, tones and
//      pauses 40 ms), and of what calls hold besides keys (speech and music
//      under them, hum, an offset, AMR-NB, lost frames, echo, strong noise;
//      tones 150 ms), each read through dtmf-scan's input path at the rate
//      each detector takes: hits/misses/false/duplicates per detector, and
//      how far the press tracker's starts and ends are from the truth;
//   3. talk-off: false keys per hour in synthetic speech (--speech, made by
//      testing/make_speech.sh, at peaks of 0 and -6 dBFS), in recorded speech
//      and music (--spoken, --music, as scripts/call-corpus makes them),
//      these also through AMR-NB at 4.75 kbit/s and GSM 06.10, and in
//      synthetic chords, melodies and sweeps. The recorded speech, or else
//      the synthetic, is what plays under the keys in "What calls hold".
//      Files are 16-bit mono at 8000/s.
//
//   compare_detectors [--minutes N] [--runs N] [--multimon PATH]
//                     [--speech FILE] [--spoken FILE] [--music FILE]
//                     [--music-minutes N]
//                     [--talk-off-only | --speed-only]
#include <spandsp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "decode.h"
#include "key_plans.h"
#include "press_scanner.h"
#include "press_tracker.h"
#include "press_tracker_kernel.h"
#include "synthetic_music.h"
#include "tone_analysis.h"
#include "tone_kernels.h"
#include "tonescan.h"

using namespace tonewatch;
using namespace tonescan;
using tonetest::Score;

namespace {

struct SpeedKey {
    char key;
    double start;     // seconds
    double duration;  // seconds
    double low_amplitude, high_amplitude;
};

struct SpeedPlan {
    std::vector<SpeedKey> keys;
    double seconds;
};

SpeedPlan MakeSpeedPlan(double seconds) {
    std::mt19937 random(2026);
    std::uniform_real_distribution<double> length(0.15, 0.30);
    std::uniform_real_distribution<double> level(3000, 9000);
    std::uniform_int_distribution<int> which(0, 15);
    SpeedPlan plan{{}, seconds};
    for (double t = 0.5; t + 1.0 < seconds;) {
        const double amplitude = level(random);
        plan.keys.push_back({kDtmfKeys[which(random)], t, length(random), amplitude, amplitude * 1.12});
        t += plan.keys.back().duration + length(random);
    }
    return plan;
}

// The plan at `rate`, with low-level noise under it.
std::vector<int16_t> Synthesize(const SpeedPlan& plan, int rate) {
    std::vector<double> audio(static_cast<std::size_t>(plan.seconds * rate), 0.0);
    for (const SpeedKey& k : plan.keys) {
        const KeyPair pair = *KeyFrequencies(k.key);
        const auto first = static_cast<std::size_t>(k.start * rate);
        const auto count = static_cast<std::size_t>(k.duration * rate);
        for (std::size_t i = 0; i < count && first + i < audio.size(); ++i) {
            const double t = static_cast<double>(i) / rate;
            audio[first + i] += k.low_amplitude * std::sin(2 * std::numbers::pi * pair.low_hz * t) +
                                k.high_amplitude * std::sin(2 * std::numbers::pi * pair.high_hz * t);
        }
    }
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 100.0);
    std::vector<int16_t> samples(audio.size());
    for (std::size_t i = 0; i < audio.size(); ++i) {
        samples[i] = static_cast<int16_t>(std::lround(std::clamp(audio[i] + noise(random), -32768.0, 32767.0)));
    }
    return samples;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs `detect` `runs` times; the keys of the last run and the median CPU time.
template <class F>
std::pair<std::string, double> Measure(int runs, F detect) {
    std::vector<double> times;
    std::string keys;
    for (int r = 0; r < runs; ++r) {
        const double start = CpuSeconds();
        keys = detect();
        times.push_back(CpuSeconds() - start);
    }
    return {keys, Median(times)};
}

std::string OursOneBlock(const std::vector<int16_t>& audio, const ToneKernel& kernel) {
    std::vector<char> found;
    for (std::size_t at = 0; at + kBlockSamples <= audio.size(); at += kBlockSamples) {
        ToneBank bank;
        ToneBankReset(bank);
        kernel.feed_one(audio.data() + at, bank, kBlockSamples);
        ToneMask mask = 0;
        ToneBankDecide(mask, bank, kToneThreshold);
        found.push_back(ToneMaskToKey(mask));
    }
    PressScanner scanner;
    scanner.FeedBlockKeys(found);
    return scanner.Keys();
}

std::string OursBatch(const std::vector<int16_t>& audio) {
    PressScanner scanner;
    scanner.Feed(audio);
    scanner.Finish();
    return scanner.Keys();
}

std::string Tracker(const std::vector<int16_t>& audio) {
    PressTracker tracker;
    tracker.Feed(audio);
    tracker.Finish();
    std::string keys;
    for (const TrackedPress& p : tracker.Presses()) keys += p.key;
    return keys;
}

// libtonescan's push API as a host uses it: the recording detector fed in
// 20 ms pieces, its presses taken after each.
std::string Pushed(const std::vector<int16_t>& audio) {
    const tonescan_spec stream = TONESCAN_SPEC_INIT(kTrackerRate, 1);
    tonescan_detector* detector = tonescan_detector_create(&stream, nullptr);
    std::string keys;
    tonescan_press presses[16];
    const auto take = [&] {
        for (std::size_t n; (n = tonescan_detector_take(detector, presses, 16)) > 0;) {
            for (std::size_t i = 0; i < n; ++i) keys += presses[i].key;
        }
    };
    for (std::size_t at = 0; at < audio.size(); at += 160) {
        tonescan_detector_feed_i16(detector, audio.data() + at, std::min<std::size_t>(160, audio.size() - at), nullptr);
        take();
    }
    tonescan_detector_finish(detector);
    take();
    tonescan_detector_destroy(detector);
    return keys;
}

std::string Spandsp(const std::vector<int16_t>& audio) {
    dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
    std::string keys;
    char digits[128];
    // Fed in 20 ms chunks, as a telephony stack would.
    for (std::size_t at = 0; at < audio.size(); at += 160) {
        const int n = static_cast<int>(std::min<std::size_t>(160, audio.size() - at));
        dtmf_rx(rx, audio.data() + at, n);
        const std::size_t got = dtmf_rx_get(rx, digits, sizeof digits - 1);
        keys.append(digits, got);
    }
    dtmf_rx_free(rx);
    return keys;
}

// multimon-ng as a whole process on a raw 22050/s file; the CPU time of the
// child from wait4, negative if it could not be run.
std::pair<std::string, double> Multimon(const std::string& program, const std::string& raw_file) {
    int out[2];
    if (pipe(out) != 0) return {"", -1};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execlp(program.c_str(), program.c_str(), "-q", "-a", "DTMF", "-t", "raw", raw_file.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"", -1};
    std::string keys;
    for (std::size_t at = 0; (at = text.find("DTMF: ", at)) != std::string::npos; at += 6) keys += text[at + 6];
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return {keys, cpu};
}

void WriteRaw(const std::string& path, const std::vector<int16_t>& samples) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

// A scratch directory for the files handed to the input path and multimon-ng.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/compare_detectors_XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~Scratch() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    bool Ok() const { return !path_.empty(); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The samples of a file through dtmf-scan's input path at `rate`, mono.
std::vector<int16_t> Decoded(const std::string& path, const std::optional<tonescan::RawFormat>& raw, int rate) {
    std::vector<int16_t> out;
    const std::string error = tonescan::DecodeForScan(
        path, -1, raw, {.samples = [&](std::span<const int16_t> s) { out.insert(out.end(), s.begin(), s.end()); }},
        {.rate = rate}).text;
    if (!error.empty()) std::fprintf(stderr, "compare_detectors: %s: %s\n", path.c_str(), error.c_str());
    return out;
}

// The keys each detector hears in one input file: the press tracker, the
// block analysis, spandsp and multimon-ng (empty when it cannot be run).
struct Heard {
    std::string tracker, blocks, spandsp, multimon;
    std::vector<TrackedPress> tracked;
};

Heard HearAll(const std::string& path, const std::optional<tonescan::RawFormat>& raw, const Scratch& scratch,
              const std::string& multimon) {
    Heard heard;
    const std::vector<int16_t> at8000 = Decoded(path, raw, kTrackerRate);
    PressTracker tracker;
    tracker.Feed(at8000);
    tracker.Finish();
    heard.tracked = tracker.Presses();
    for (const TrackedPress& p : heard.tracked) heard.tracker += p.key;
    heard.blocks = OursBatch(Decoded(path, raw, tonescan::kScanRate));
    heard.spandsp = Spandsp(at8000);
    WriteRaw(scratch.File("multimon.raw"), Decoded(path, raw, 22050));
    heard.multimon = Multimon(multimon, scratch.File("multimon.raw")).first;
    return heard;
}

const char* const kDetectors[] = {"press tracker (recording)", "block analysis (library, default)",
                                  "spandsp dtmf_rx", "multimon-ng"};

std::array<const std::string*, 4> KeysOf(const Heard& h) { return {&h.tracker, &h.blocks, &h.spandsp, &h.multimon}; }

void PrintSpeed(const SpeedPlan& plan, int runs, const std::string& multimon, const Scratch& scratch) {
    std::string planned;
    for (const SpeedKey& k : plan.keys) planned += k.key;
    tonetest::Plan scored{{}, plan.seconds, true};
    for (const SpeedKey& k : plan.keys) scored.presses.push_back({k.key, k.start, k.start + k.duration, {}});
    const std::vector<int16_t> at4000 = Synthesize(plan, 4000);
    const std::vector<int16_t> at8000 = Synthesize(plan, 8000);
    const std::vector<int16_t> at22050 = Synthesize(plan, 22050);
    WriteRaw(scratch.File("speed.raw"), at22050);

    struct Row {
        std::string name;
        std::string keys;
        double cpu;
    };
    std::vector<Row> rows;
    const ToneKernel& scalar = ToneKernelsAvailable()[0];
    auto [scalar_keys, scalar_cpu] = Measure(runs, [&] { return OursOneBlock(at4000, scalar); });
    rows.push_back({"block analysis, one block, scalar definition", scalar_keys, scalar_cpu});
    auto [one_keys, one_cpu] = Measure(runs, [&] { return OursOneBlock(at4000, ToneKernelChosen()); });
    rows.push_back({std::string("block analysis, one block, ") + ToneKernelChosen().name + " kernel (8 lanes)", one_keys,
                    one_cpu});
    auto [batch_keys, batch_cpu] = Measure(runs, [&] { return OursBatch(at4000); });
    rows.push_back({std::string("block analysis, interleaved, ") + ToneKernelChosen().name, batch_keys, batch_cpu});
    auto [tracker_keys, tracker_cpu] = Measure(runs, [&] { return Tracker(at8000); });
    rows.push_back({std::string("press tracker (8000/s), ") + TrackerKernelChosen().name, tracker_keys, tracker_cpu});
    auto [pushed_keys, pushed_cpu] = Measure(runs, [&] { return Pushed(at8000); });
    rows.push_back({"libtonescan push API, recording detector (8000/s, 20 ms pieces)", pushed_keys, pushed_cpu});
    auto [span_keys, span_cpu] = Measure(runs, [&] { return Spandsp(at8000); });
    rows.push_back({"spandsp dtmf_rx (8000/s)", span_keys, span_cpu});
    std::vector<double> multimon_times;
    std::string multimon_keys;
    for (int r = 0; r < runs; ++r) {
        auto [keys, cpu] = Multimon(multimon, scratch.File("speed.raw"));
        if (cpu < 0) break;
        multimon_keys = keys;
        multimon_times.push_back(cpu);
    }
    if (!multimon_times.empty()) {
        rows.push_back({"multimon-ng process (22050/s)", multimon_keys, Median(multimon_times)});
    } else {
        std::fprintf(stderr, "compare_detectors: could not run %s; left out\n", multimon.c_str());
    }

    const double blocks = plan.seconds * 4000 / kBlockSamples;
    std::printf("## Speed\n\nplan: %.0f s of audio, %zu keys (tones 150-300 ms, gaps 150-300 ms, noise); "
                "median of %d runs\n\n",
                plan.seconds, planned.size(), runs);
    std::printf("| detector | ns per 62.5 ms | audio s per CPU s | vs scalar | hits | misses | false | duplicates |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        const Score s = tonetest::ScoreByKeys(scored, row.keys);
        std::printf("| %s | %.0f | %.0f | %.2f | %d | %d | %d | %d |\n", row.name.c_str(), row.cpu / blocks * 1e9,
                    plan.seconds / row.cpu, scalar_cpu / row.cpu, s.hits, s.misses, s.false_keys, s.duplicates);
    }
    std::printf("\nblock analysis (interleaved) vs spandsp dtmf_rx: %.1f times the throughput\n", span_cpu / batch_cpu);
    std::printf("press tracker vs spandsp dtmf_rx: %.1f times the throughput\n", span_cpu / tracker_cpu);
    std::printf("libtonescan push API vs spandsp dtmf_rx: %.1f times the throughput; vs the press tracker alone: "
                "%.2f times its time\n\n",
                span_cpu / pushed_cpu, pushed_cpu / tracker_cpu);
}

void PrintConditions(const std::vector<tonetest::Condition>& conditions, const char* title, const char* caption,
                     const std::vector<int16_t>& speech, const Scratch& scratch, const std::string& multimon) {
    std::vector<Heard> heard;
    std::vector<tonetest::Plan> plans;
    for (const tonetest::Condition& c : conditions) {
        plans.push_back(tonetest::MakePlan(c.shape, 100, 17));
        if (c.under == tonetest::Under::kSpeech && speech.empty()) {
            std::fprintf(stderr, "compare_detectors: no speech file given (--speech) for '%s'\n", c.name);
            heard.emplace_back();
            continue;
        }
        const std::vector<int16_t> audio = tonetest::Hear(c, plans.back(), 5, speech);
        const std::string wav = scratch.File("condition.wav");
        if (audio.empty() || !tonetest::WriteWav(wav, audio, c.rate, c.channels)) {
            std::fprintf(stderr, "compare_detectors: cannot make the audio for '%s' (is sox installed?)\n", c.name);
            heard.emplace_back();
            continue;
        }
        heard.push_back(HearAll(wav, std::nullopt, scratch, multimon));
    }
    std::printf("## %s\n\n%s; each file read through dtmf-scan's input path. Cells: hits/misses/false/duplicates "
                "(keys aligned with the plan); conditions marked * hold no key.\n\n|",
                title, caption);
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        std::printf(" | %s%s", conditions[i].name, plans[i].keys_expected ? "" : " *");
    }
    std::printf(" |\n|---");
    for (std::size_t i = 0; i < conditions.size(); ++i) std::printf("|---:");
    std::printf("|\n");
    for (std::size_t d = 0; d < std::size(kDetectors); ++d) {
        std::printf("| %s", kDetectors[d]);
        for (std::size_t i = 0; i < conditions.size(); ++i) {
            const std::string& keys = *KeysOf(heard[i])[d];
            Score s = tonetest::ScoreByKeys(plans[i], keys);
            if (!plans[i].keys_expected) s = {0, 0, static_cast<int>(keys.size()), 0};
            std::printf(" | %d/%d/%d/%d", s.hits, s.misses, s.false_keys, s.duplicates);
        }
        std::printf(" |\n");
    }
    std::printf("| press tracker: worst start / end error, ms; hits off by more than %.0f ms",
                tonetest::kTimeTolerance * 1000);
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        std::vector<tonetest::HeardPress> pressed;
        for (const TrackedPress& p : heard[i].tracked) {
            pressed.push_back({p.key, double(p.start) / kTrackerRate, double(p.end) / kTrackerRate});
        }
        const Score s = tonetest::ScoreByTime(plans[i], pressed);
        if (s.hits > 0) {
            std::printf(" | %.1f / %.1f; %d", s.worst_start * 1000, s.worst_end * 1000, s.mistimed);
        } else {
            std::printf(" | -");
        }
    }
    std::printf(" |\n\n");
}

std::vector<int16_t> ReadSpeech(const std::string& path) {
    if (path.empty()) return {};
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), 2 * samples.size());
    return samples;
}

void PrintTalkOff(const std::string& speech, const std::string& spoken, const std::string& music, double music_minutes,
                  const Scratch& scratch, const std::string& multimon) {
    struct Column {
        std::string name;
        double hours;
        Heard heard;
    };
    std::vector<Column> columns;
    if (!speech.empty()) {
        const std::vector<int16_t> samples = ReadSpeech(speech);
        const double hours = double(samples.size()) / 8000 / 3600;
        for (const auto& [name, gain] : {std::pair{"speech, peaks 0 dBFS", 1.0}, {"speech, peaks -6 dBFS", 0.5}}) {
            std::vector<int16_t> scaled(samples.size());
            // Copied under a name of its own: Clang 14 cannot capture a structured binding.
            std::transform(samples.begin(), samples.end(), scaled.begin(),
                           [gain = gain](int16_t s) { return static_cast<int16_t>(std::lround(s * gain)); });
            WriteRaw(scratch.File("talk.raw"), scaled);
            columns.push_back({name, hours, HearAll(scratch.File("talk.raw"), tonescan::RawFormat{8000, 1}, scratch, multimon)});
        }
    }
    // Recordings (scripts/call-corpus makes them), plain and through the
    // mobile codecs at their lowest rates.
    for (const auto& [what, path] : {std::pair{"recorded speech", spoken}, {"recorded music", music}}) {
        if (path.empty()) continue;
        const std::vector<int16_t> samples = ReadSpeech(path);
        const double hours = double(samples.size()) / 8000 / 3600;
        for (const auto& [codec, pipeline] :
             {std::pair{"", static_cast<const char*>(nullptr)}, {", AMR-NB 4.75", tonetest::kAmrNb[0]},
              {", GSM 06.10", tonetest::kGsm}}) {
            WriteRaw(scratch.File("talk.raw"), pipeline == nullptr ? samples : tonetest::ThroughSox(samples, pipeline));
            columns.push_back({std::string(what) + codec, hours,
                               HearAll(scratch.File("talk.raw"), tonescan::RawFormat{8000, 1}, scratch, multimon)});
        }
    }
    for (const auto& [name, kind] : {std::pair{"chords", tonetest::Music::kChords}, {"melodies", tonetest::Music::kMelodies},
                                     {"sweeps", tonetest::Music::kSweeps}}) {
        WriteRaw(scratch.File("talk.raw"), tonetest::SynthesizeMusic(kind, music_minutes * 60, 100 + static_cast<uint32_t>(kind)));
        columns.push_back({name, music_minutes / 60,
                           HearAll(scratch.File("talk.raw"), tonescan::RawFormat{8000, 1}, scratch, multimon)});
    }
    std::printf("## Talk-off\n\nKeys heard per hour (all false)");
    if (speech.empty()) std::printf("; no speech file given (--speech)");
    std::printf(".\n\n| detector");
    for (const Column& c : columns) std::printf(" | %s (%.2f h)", c.name.c_str(), c.hours);
    std::printf(" |\n|---");
    for (std::size_t i = 0; i < columns.size(); ++i) std::printf("|---:");
    std::printf("|\n");
    for (std::size_t d = 0; d < std::size(kDetectors); ++d) {
        std::printf("| %s", kDetectors[d]);
        for (const Column& c : columns) {
            const std::string& keys = *KeysOf(c.heard)[d];
            std::printf(" | %.1f (%zu: %s)", double(keys.size()) / c.hours, keys.size(),
                        keys.size() <= 12 ? keys.c_str() : (keys.substr(0, 12) + "...").c_str());
        }
        std::printf(" |\n");
    }
}

}

int main(int argc, char** argv) {
    double minutes = 10;
    double music_minutes = 20;
    int runs = 5;
    std::string multimon = "multimon-ng";
    std::string speech, spoken, music;
    bool speed = true, conditions = true, talk_off = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--multimon" && i + 1 < argc) {
            multimon = argv[++i];
        } else if (arg == "--speech" && i + 1 < argc) {
            speech = argv[++i];
        } else if (arg == "--spoken" && i + 1 < argc) {
            spoken = argv[++i];
        } else if (arg == "--music" && i + 1 < argc) {
            music = argv[++i];
        } else if (arg == "--talk-off-only") {
            speed = conditions = false;
        } else if (arg == "--speed-only") {
            conditions = talk_off = false;
        } else if (arg == "--music-minutes" && i + 1 < argc) {
            music_minutes = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--minutes N] [--runs N] [--multimon PATH] [--speech FILE] [--spoken FILE]\n"
                         "       [--music FILE] [--music-minutes N] [--talk-off-only | --speed-only]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!(minutes > 0) || !(music_minutes > 0)) {
        std::fprintf(stderr, "compare_detectors: --minutes and --music-minutes must be positive\n");
        return 2;
    }
    Scratch scratch;
    if (!scratch.Ok()) {
        std::perror("compare_detectors: scratch directory");
        return 1;
    }
    if (speed) PrintSpeed(MakeSpeedPlan(minutes * 60), runs, multimon, scratch);
    if (conditions) PrintConditions(tonetest::Conditions(), "Conditions",
                    "100 presses of each key, shuffled, random phases, tones and pauses 40 ms, the low tone at -10 dBFS "
                    "unless said otherwise",
                    {}, scratch, multimon);
    if (conditions) PrintConditions(tonetest::CallConditions(), "What calls hold",
                    "100 presses of each key, shuffled, random phases, tones 150 ms and pauses 100 ms, the low tone at "
                    "-10 dBFS unless said otherwise; speech (the --spoken file, or else --speech) or synthetic music "
                    "under the keys with each key's power the given dB over the background's within its span, hum "
                    "and its harmonics the given dB under the low tone, AMR-NB through sox at each mode, Opus, "
                    "G.722, G.726 and MP3 through FFmpeg, 2% of 20 ms frames zeroed, echo, white noise",
                    ReadSpeech(spoken.empty() ? speech : spoken), scratch, multimon);
    if (talk_off) PrintTalkOff(speech, spoken, music, music_minutes, scratch, multimon);
    return 0;
}
