// Key plans for measuring detectors on recordings: shuffled presses of every
// key with random phases, the conditions they are heard under (levels, noise,
// twist, mistuning, codecs and filters through sox, sample rates, channels,
// tones that are not keys, and what calls hold besides the keys: speech or
// music under them, hum, lost frames, echo), and the scoring of what a
// detector heard against the plan. Independent of the code under test; shared by the tests
// and the comparison benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dtmf_keypad.h"
#include "synthetic_music.h"

namespace tonetest {

// Amplitude of a sine at `dbfs` (peak; 0 dBFS is a full-scale sine).
inline double Amplitude(double dbfs) { return 32768.0 * std::pow(10.0, dbfs / 20.0); }

struct Sine {
    double hz;
    double amplitude;
    double phase;
};

struct PlannedPress {
    char key;  // NUL where the tones are no key
    double start, end;  // seconds
    std::vector<Sine> sines;
};

struct Plan {
    std::vector<PlannedPress> presses;
    double seconds;
    bool keys_expected;  // false: whatever is heard is false
};

// What is played for each press of a condition.
struct Shape {
    double tone_ms = 40, pause_ms = 40;
    double low_dbfs = -10;  // the low tone's level
    double twist_db = 0;    // the high tone over the low one
    double detune = 0;      // relative error of both frequencies
    enum Tones { kPair, kSingle, kThree } tones = kPair;
};

// `per_key` presses of each of the 16 keys in random order, from 0.1 s on.
inline Plan MakePlan(const Shape& shape, int per_key, uint32_t seed) {
    std::mt19937 random(seed);
    std::string keys;
    for (int i = 0; i < per_key; ++i) keys += tonewatch::kDtmfKeys;
    std::shuffle(keys.begin(), keys.end(), random);
    std::uniform_real_distribution<double> phase(0.0, 2 * std::numbers::pi);
    std::uniform_int_distribution<int> pick(0, 7);
    // Tones 3.5% or more off their key frequencies are no key.
    const bool are_keys = shape.tones == Shape::kPair && std::abs(shape.detune) < 0.035;
    Plan plan{{}, 0.0, are_keys};
    const double low = Amplitude(shape.low_dbfs);
    const double high = Amplitude(shape.low_dbfs + shape.twist_db);
    double t = 0.1;
    for (const char key : keys) {
        const tonewatch::KeyPair pair = *tonewatch::KeyFrequencies(key);
        PlannedPress press{are_keys ? key : '\0', t, t + shape.tone_ms / 1000, {}};
        if (shape.tones == Shape::kSingle) {
            const int channel = pick(random);
            press.sines.push_back({double(tonewatch::kToneFrequencies[channel]), low, phase(random)});
        } else {
            press.sines.push_back({pair.low_hz * (1 + shape.detune), low, phase(random)});
            press.sines.push_back({pair.high_hz * (1 + shape.detune), high, phase(random)});
        }
        if (shape.tones == Shape::kThree) {
            // A third key frequency, in either group, as loud as the others.
            int channel;
            do channel = pick(random);
            while (tonewatch::kToneFrequencies[channel] == pair.low_hz ||
                   tonewatch::kToneFrequencies[channel] == pair.high_hz);
            press.sines.push_back({double(tonewatch::kToneFrequencies[channel]), low, phase(random)});
        }
        plan.presses.push_back(press);
        t += (shape.tone_ms + shape.pause_ms) / 1000;
    }
    plan.seconds = t + 0.1;
    return plan;
}

// The plan at `rate`, in 16-bit units, not yet rounded or clipped.
inline std::vector<double> Render(const Plan& plan, int rate) {
    std::vector<double> audio(static_cast<std::size_t>(std::ceil(plan.seconds * rate)), 0.0);
    for (const PlannedPress& press : plan.presses) {
        const auto first = static_cast<std::size_t>(std::lround(press.start * rate));
        const auto last = std::min(audio.size(), static_cast<std::size_t>(std::lround(press.end * rate)));
        for (const Sine& s : press.sines) {
            // A rotating phasor, renewed every press: exact enough and cheap.
            const double w = 2 * std::numbers::pi * s.hz / rate;
            const double c = std::cos(w), d = std::sin(w);
            double re = std::cos(s.phase), im = std::sin(s.phase);
            for (std::size_t i = first; i < last; ++i) {
                audio[i] += s.amplitude * im;
                const double next = re * c - im * d;
                im = re * d + im * c;
                re = next;
            }
        }
    }
    return audio;
}

// White Gaussian noise at `snr_db` under the power of one press's tones.
inline void AddNoise(std::vector<double>& audio, const Plan& plan, double snr_db, uint32_t seed) {
    double power = 0;
    for (const Sine& s : plan.presses.front().sines) power += s.amplitude * s.amplitude / 2;
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, std::sqrt(power / std::pow(10.0, snr_db / 10)));
    for (double& v : audio) v += noise(random);
}

// Rounded and clipped to 16 bits, as a recorder would.
inline std::vector<int16_t> ToPcm(const std::vector<double>& audio) {
    std::vector<int16_t> pcm(audio.size());
    std::transform(audio.begin(), audio.end(), pcm.begin(), [](double v) {
        return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    });
    return pcm;
}

// Runs 8000/s mono audio through a sox command line, where IN and OUT are
// replaced by raw 16-bit file arguments; e.g. "IN -t gsm - | sox -t gsm - OUT"
// (the pipe between may run other programs).
// The first sox dithers with a fixed seed (-R), so that a plan comes out the
// same on every run. Empty when sox fails.
inline std::vector<int16_t> ThroughSox(const std::vector<int16_t>& pcm, const std::string& pipeline) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path dir;
    for (std::random_device random; dir.empty() || !fs::create_directory(dir, error);) {
        if (error) return {};
        dir = fs::temp_directory_path(error) / ("key_plans_" + std::to_string(random()));
    }
    const std::string in = (dir / "in.raw").string(), out = (dir / "out.raw").string();
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(2 * pcm.size()));
    const std::string raw = "-t raw -r 8000 -e signed -b 16 -c 1 ";
    std::string command = "sox -V1 -R " + pipeline;
    command.replace(command.find("IN"), 2, raw + in);
    command.replace(command.find("OUT"), 3, raw + out);
    std::vector<int16_t> result;
    if (std::system(command.c_str()) == 0) {
        std::ifstream file(out, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        result.resize(bytes.size() / 2);
        std::copy_n(bytes.data(), 2 * result.size(), reinterpret_cast<char*>(result.data()));
    }
    fs::remove_all(dir, error);
    return result;
}

// Round trips through codecs and the telephone band, for ThroughSox.
inline constexpr const char* kMuLaw = "IN -t ul - | sox -t ul -r 8000 -c 1 - OUT";
inline constexpr const char* kALaw = "IN -t al - | sox -t al -r 8000 -c 1 - OUT";
inline constexpr const char* kGsm = "IN -t gsm - | sox -t gsm -r 8000 -c 1 - OUT";
inline constexpr const char* kTelephoneBand = "IN OUT sinc 300-3400";
// Codecs that sox does not write, through FFmpeg as headerless PCM both ways.
// LAME's MP3 starts 1105 samples late (its encoder delay), which a decoder
// reading from a pipe keeps: trimmed so that the keys stay where the plan has them.
inline constexpr const char* kOpus8 =
    "IN -t raw - | ffmpeg -v error -f s16le -ar 8000 -ac 1 -i - -c:a libopus -b:a 8k -f ogg - | "
    "ffmpeg -v error -i - -f s16le -ar 8000 -ac 1 - | sox -t raw -r 8000 -e signed -b 16 -c 1 - OUT";
inline constexpr const char* kOpus16 =
    "IN -t raw - | ffmpeg -v error -f s16le -ar 8000 -ac 1 -i - -c:a libopus -b:a 16k -f ogg - | "
    "ffmpeg -v error -i - -f s16le -ar 8000 -ac 1 - | sox -t raw -r 8000 -e signed -b 16 -c 1 - OUT";
inline constexpr const char* kG722 =
    "IN -t raw - | ffmpeg -v error -f s16le -ar 8000 -ac 1 -i - -ar 16000 -c:a g722 -f g722 - | "
    "ffmpeg -v error -f g722 -i - -f s16le -ar 8000 -ac 1 - | sox -t raw -r 8000 -e signed -b 16 -c 1 - OUT";
inline constexpr const char* kG726 =
    "IN -t raw - | ffmpeg -v error -f s16le -ar 8000 -ac 1 -i - -c:a g726 -b:a 32k -f wav - | "
    "ffmpeg -v error -i - -f s16le -ar 8000 -ac 1 - | sox -t raw -r 8000 -e signed -b 16 -c 1 - OUT";
inline constexpr const char* kMp3 =
    "IN -t raw - | ffmpeg -v error -f s16le -ar 8000 -ac 1 -i - -c:a libmp3lame -b:a 16k -f mp3 - | "
    "ffmpeg -v error -i - -af atrim=start_sample=1105 -f s16le -ar 8000 -ac 1 - | "
    "sox -t raw -r 8000 -e signed -b 16 -c 1 - OUT";
// AMR-NB in each of its eight modes, 4.75 to 12.2 kbit/s.
inline constexpr const char* kAmrNb[] = {
    "IN -t amr-nb -C 0 - | sox -t amr-nb - OUT", "IN -t amr-nb -C 1 - | sox -t amr-nb - OUT",
    "IN -t amr-nb -C 2 - | sox -t amr-nb - OUT", "IN -t amr-nb -C 3 - | sox -t amr-nb - OUT",
    "IN -t amr-nb -C 4 - | sox -t amr-nb - OUT", "IN -t amr-nb -C 5 - | sox -t amr-nb - OUT",
    "IN -t amr-nb -C 6 - | sox -t amr-nb - OUT", "IN -t amr-nb -C 7 - | sox -t amr-nb - OUT"};

// What plays under the keys besides them.
enum class Under { kNothing, kSpeech, kMusic };

// A condition a plan is heard under. All play 100 presses of each key,
// tones and pauses of 40 ms, the low tone at -10 dBFS unless said otherwise.
struct Condition {
    const char* name;
    Shape shape;
    std::optional<double> snr_db = std::nullopt;  // white noise at this SNR
    const char* sox = nullptr;     // a round trip through sox (and FFmpeg) at 8000/s
    int rate = 8000;
    int channels = 1;              // the same audio on each
    // Speech or music under the keys, each key's power this far over the
    // background's within the key's span.
    Under under = Under::kNothing;
    double over_db = 0;
    // A hum and its second and third harmonics (6 and 10 dB weaker), its
    // fundamental's peak this far under the low tone's; and a constant offset.
    double hum_hz = 0;
    double hum_db = -10;
    double dc = 0;
    // This share of the 20 ms frames zeroed, never two in a row, as a lost
    // packet leaves a call; at 8000/s only.
    double lost_frames = 0;
    // A copy of everything this late and this much weaker; at 8000/s only.
    double echo_ms = 0;
    double echo_db = -10;
};

inline const std::vector<Condition>& Conditions() {
    static const std::vector<Condition> conditions = {
        {"40 ms", {}},
        {"-40 dBFS", {.low_dbfs = -40}},
        {"-30 dBFS", {.low_dbfs = -30}},
        {"-20 dBFS", {.low_dbfs = -20}},
        {"-3 dBFS clipped", {.low_dbfs = -3}},
        {"0 dBFS clipped", {.low_dbfs = 0}},
        {"noise 6 dB SNR", {}, 6},
        {"twist -8 dB", {.low_dbfs = -6, .twist_db = -8}},
        {"twist +6 dB", {.low_dbfs = -16, .twist_db = 6}},
        {"-1.5%", {.detune = -0.015}},
        {"+1.5%", {.detune = 0.015}},
        {"u-law", {}, {}, kMuLaw},
        {"A-law", {}, {}, kALaw},
        {"GSM 06.10", {}, {}, kGsm},
        {"300-3400 Hz", {}, {}, kTelephoneBand},
        {"8000/s stereo", {}, {}, nullptr, 8000, 2},
        {"44100/s", {}, {}, nullptr, 44100, 1},
        {"44100/s stereo", {}, {}, nullptr, 44100, 2},
        {"48000/s", {}, {}, nullptr, 48000, 1},
        {"48000/s stereo", {}, {}, nullptr, 48000, 2},
        {"-3.5%", {.detune = -0.035}},
        {"+3.5%", {.detune = 0.035}},
        {"single tone", {.tones = Shape::kSingle}},
        {"three tones", {.tones = Shape::kThree}},
    };
    return conditions;
}

// What calls hold besides the keys, as call recordings have them: keys of
// 150 ms with pauses of 100 ms (on the 20 ms frame grid of mobile codecs),
// under speech or music, with hum, through mobile codecs, with lost frames
// and echo, and in strong noise.
inline const std::vector<Condition>& CallConditions() {
    static const Shape kCall{.tone_ms = 150, .pause_ms = 100};
    static const Shape kQuiet{.tone_ms = 150, .pause_ms = 100, .low_dbfs = -25};
    static const std::vector<Condition> conditions = {
        {"speech 5 dB under", kCall, {}, nullptr, 8000, 1, Under::kSpeech, 5},
        {"speech 10 dB under", kCall, {}, nullptr, 8000, 1, Under::kSpeech, 10},
        {"speech 15 dB under", kCall, {}, nullptr, 8000, 1, Under::kSpeech, 15},
        {"music 5 dB under", kCall, {}, nullptr, 8000, 1, Under::kMusic, 5},
        {"music 10 dB under", kCall, {}, nullptr, 8000, 1, Under::kMusic, 10},
        {"music 15 dB under", kCall, {}, nullptr, 8000, 1, Under::kMusic, 15},
        {"hum 50 Hz -10 dB", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 50},
        {"hum 60 Hz -10 dB", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 60},
        {"hum 100 Hz -10 dB", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 100},
        {"-25 dBFS, hum 50 Hz -5 dB", kQuiet, {}, nullptr, 8000, 1, Under::kNothing, 0, 50, -5},
        {"-25 dBFS, DC +10 dB", kQuiet, {}, nullptr, 8000, 1, Under::kNothing, 0, 0, 0, Amplitude(-15)},
        {"AMR-NB 4.75", kCall, {}, kAmrNb[0]},
        {"AMR-NB 5.15", kCall, {}, kAmrNb[1]},
        {"AMR-NB 5.9", kCall, {}, kAmrNb[2]},
        {"AMR-NB 6.7", kCall, {}, kAmrNb[3]},
        {"AMR-NB 7.4", kCall, {}, kAmrNb[4]},
        {"AMR-NB 7.95", kCall, {}, kAmrNb[5]},
        {"AMR-NB 10.2", kCall, {}, kAmrNb[6]},
        {"AMR-NB 12.2", kCall, {}, kAmrNb[7]},
        {"GSM 06.10 150 ms", kCall, {}, kGsm},
        {"Opus 8 kbit/s", kCall, {}, kOpus8},
        {"Opus 16 kbit/s", kCall, {}, kOpus16},
        {"G.722", kCall, {}, kG722},
        {"G.726 32 kbit/s", kCall, {}, kG726},
        {"MP3 16 kbit/s", kCall, {}, kMp3},
        {"lost frames 2%", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 0, -10, 0, 0.02},
        {"echo 30 ms -10 dB", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 0, -10, 0, 0, 30},
        {"echo 50 ms -10 dB", kCall, {}, nullptr, 8000, 1, Under::kNothing, 0, 0, -10, 0, 0, 50},
        {"noise 0 dB SNR", kCall, 0},
    };
    return conditions;
}

// The background of Under::kMusic: chords and melodies together.
inline std::vector<int16_t> MusicBackground(double seconds, uint32_t seed) {
    const std::vector<int16_t> chords = SynthesizeMusic(Music::kChords, seconds, seed);
    const std::vector<int16_t> melodies = SynthesizeMusic(Music::kMelodies, seconds, seed + 1);
    std::vector<int16_t> mixed(chords.size());
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<int16_t>((chords[i] + melodies[i]) / 2);
    return mixed;
}

// Adds `background` (8000/s, repeated as needed) under the plan at 8000/s,
// its gain set anew for each press, from the middle of the pause before it
// to the middle of the one after, so that the press's power stands
// `over_db` over the background's within its span; the gain glides over
// 5 ms between presses, and never lets the background peak over -6 dBFS.
inline void AddBackground(std::vector<double>& audio, const Plan& plan, const std::vector<int16_t>& background,
                          double over_db) {
    if (background.empty() || plan.presses.empty()) return;
    const auto at = [&](std::size_t i) { return double(background[i % background.size()]); };
    std::vector<double> gain(audio.size(), 0.0);
    for (std::size_t p = 0; p < plan.presses.size(); ++p) {
        const PlannedPress& press = plan.presses[p];
        const auto first = static_cast<std::size_t>(std::lround(press.start * 8000));
        const auto last = static_cast<std::size_t>(std::lround(press.end * 8000));
        const double from_s = p == 0 ? 0.0 : (plan.presses[p - 1].end + press.start) / 2;
        const double to_s = p + 1 == plan.presses.size() ? plan.seconds : (press.end + plan.presses[p + 1].start) / 2;
        const auto from = static_cast<std::size_t>(std::lround(from_s * 8000));
        const auto to = std::min(audio.size(), static_cast<std::size_t>(std::lround(to_s * 8000)));
        double keys = 0, power = 0, peak = 1;
        for (const Sine& s : press.sines) keys += s.amplitude * s.amplitude / 2;
        for (std::size_t i = first; i < last; ++i) power += at(i) * at(i) / double(last - first);
        for (std::size_t i = from; i < to; ++i) peak = std::max(peak, std::abs(at(i)));
        const double g = std::min(std::sqrt(keys / std::max(power, 1e-9) / std::pow(10.0, over_db / 10)),
                                  16384.0 / peak);
        for (std::size_t i = from; i < to; ++i) gain[i] = g;
    }
    constexpr std::size_t kGlide = 40;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        double g = 0;
        const std::size_t lo = i >= kGlide / 2 ? i - kGlide / 2 : 0, hi = std::min(audio.size(), i + kGlide / 2);
        for (std::size_t j = lo; j < hi; ++j) g += gain[j];
        audio[i] += at(i) * g / double(hi - lo);
    }
}

// The plan under the condition: interleaved 16-bit PCM at its rate and
// channel count. `speech` is what Under::kSpeech plays (8000/s). Empty when
// sox fails.
inline std::vector<int16_t> Hear(const Condition& c, const Plan& plan, uint32_t seed,
                                 const std::vector<int16_t>& speech = {}) {
    std::vector<double> audio = Render(plan, c.rate);
    if (c.snr_db) AddNoise(audio, plan, *c.snr_db, seed);
    if (c.under == Under::kSpeech) AddBackground(audio, plan, speech, c.over_db);
    if (c.under == Under::kMusic) AddBackground(audio, plan, MusicBackground(plan.seconds, seed), c.over_db);
    if (c.hum_hz > 0) {
        const double a = Amplitude(c.shape.low_dbfs + c.hum_db);
        for (std::size_t i = 0; i < audio.size(); ++i) {
            const double w = 2 * std::numbers::pi * c.hum_hz * double(i) / c.rate;
            audio[i] += a * (std::sin(w) + 0.5 * std::sin(2 * w + 1) + 0.32 * std::sin(3 * w + 2));
        }
    }
    for (double& v : audio) v += c.dc;
    if (c.echo_ms > 0) {
        const auto delay = static_cast<std::size_t>(std::lround(c.echo_ms * c.rate / 1000));
        const double g = std::pow(10.0, c.echo_db / 20);
        for (std::size_t i = audio.size(); i-- > delay;) audio[i] += g * audio[i - delay];
    }
    std::vector<int16_t> pcm = ToPcm(audio);
    if (c.sox != nullptr) pcm = ThroughSox(pcm, c.sox);
    if (c.lost_frames > 0) {
        std::mt19937 random(seed + 1);
        std::bernoulli_distribution lost(c.lost_frames);
        const std::size_t frame = static_cast<std::size_t>(c.rate) / 50;
        bool before = false;
        for (std::size_t at = 0; at < pcm.size(); at += frame) {
            before = !before && lost(random);
            if (before) std::fill(pcm.begin() + at, pcm.begin() + std::min(pcm.size(), at + frame), int16_t{0});
        }
    }
    std::vector<int16_t> interleaved;
    interleaved.reserve(pcm.size() * static_cast<std::size_t>(c.channels));
    for (const int16_t s : pcm) interleaved.insert(interleaved.end(), static_cast<std::size_t>(c.channels), s);
    return interleaved;
}

// A 16-bit PCM WAV file.
inline bool WriteWav(const std::string& path, const std::vector<int16_t>& interleaved, int rate, int channels) {
    std::ofstream out(path, std::ios::binary);
    const auto word = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    const auto data = static_cast<uint32_t>(2 * interleaved.size());
    out.write("RIFF", 4);
    word(36 + data, 4);
    out.write("WAVEfmt ", 8);
    word(16, 4);
    word(1, 2);
    word(static_cast<uint32_t>(channels), 2);
    word(static_cast<uint32_t>(rate), 4);
    word(static_cast<uint32_t>(2 * rate * channels), 4);
    word(static_cast<uint32_t>(2 * channels), 2);
    word(16, 2);
    out.write("data", 4);
    word(data, 4);
    for (const int16_t s : interleaved) word(static_cast<uint16_t>(s), 2);
    return static_cast<bool>(out);
}

// Press times are right within this many seconds.
inline constexpr double kTimeTolerance = 0.005;

struct Score {
    int hits = 0, misses = 0, false_keys = 0, duplicates = 0;
    double worst_start = 0, worst_end = 0;  // seconds, over the hits
    int mistimed = 0;                       // hits with an edge off by more than kTimeTolerance
};

struct HeardPress {
    char key;
    double start, end;  // seconds; end < 0 when the detector gives none
};

// A heard press overlapping a planned one of its key is a hit, or a duplicate
// when that planned press was hit already; anything else is false.
inline Score ScoreByTime(const Plan& plan, const std::vector<HeardPress>& heard) {
    Score score;
    std::vector<bool> hit(plan.presses.size(), false);
    std::size_t first = 0;
    for (const HeardPress& h : heard) {
        const double end = h.end < 0 ? h.start : h.end;
        while (first < plan.presses.size() && plan.presses[first].end <= h.start) ++first;
        bool matched = false;
        for (std::size_t i = first; i < plan.presses.size() && plan.presses[i].start <= end; ++i) {
            const PlannedPress& p = plan.presses[i];
            if (p.key != h.key) continue;
            matched = true;
            if (hit[i]) {
                ++score.duplicates;
            } else {
                hit[i] = true;
                ++score.hits;
                const double start_error = std::abs(h.start - p.start);
                const double end_error = h.end >= 0 ? std::abs(h.end - p.end) : 0.0;
                score.worst_start = std::max(score.worst_start, start_error);
                score.worst_end = std::max(score.worst_end, end_error);
                score.mistimed += std::max(start_error, end_error) > kTimeTolerance;
            }
            break;
        }
        if (!matched) ++score.false_keys;
    }
    for (const PlannedPress& p : plan.presses) score.misses += p.key != '\0';
    score.misses -= score.hits;
    return score;
}

// For detectors that give keys without times: the heard keys aligned with
// the planned ones (longest common subsequence); extra keys that repeat the
// key before them are duplicates, other extras are false.
inline Score ScoreByKeys(const Plan& plan, const std::string& heard) {
    std::string planned;
    for (const PlannedPress& p : plan.presses) {
        if (p.key != '\0') planned += p.key;
    }
    const std::size_t n = planned.size(), m = heard.size();
    std::vector<std::vector<int>> lcs(n + 1, std::vector<int>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            lcs[i][j] = planned[i] == heard[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
    }
    Score score;
    score.hits = lcs[0][0];
    score.misses = static_cast<int>(n) - score.hits;
    std::size_t i = 0, j = 0;
    while (j < m) {
        if (i < n && planned[i] == heard[j] && lcs[i][j] == lcs[i + 1][j + 1] + 1) {
            ++i, ++j;
        } else if (i < n && lcs[i + 1][j] >= lcs[i][j + 1]) {
            ++i;
        } else {
            (j > 0 && heard[j] == heard[j - 1] ? score.duplicates : score.false_keys)++;
            ++j;
        }
    }
    return score;
}

}
