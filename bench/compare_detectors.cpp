// Runs our analysis and two other detectors over the same synthesized key
// plan and prints their speed and what each heard against the plan.
//
//   compare_detectors [--minutes N] [--runs N] [--multimon PATH]
//
// Ours runs at 4000/s (one block at a time as the capture handler does, and
// many blocks interleaved as recordings are scanned), spandsp's dtmf_rx on
// the plan at 8000/s, and multimon-ng as a whole process on the plan at
// 22050/s written to a raw file.
#include <spandsp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "press_scanner.h"
#include "tone_analysis.h"
#include "tone_kernels.h"

using namespace tonewatch;

namespace {

struct PlannedKey {
    char key;
    double start;     // seconds
    double duration;  // seconds
    double low_amplitude, high_amplitude;
};

struct Plan {
    std::vector<PlannedKey> keys;
    double seconds;
};


Plan MakePlan(double seconds) {
    std::mt19937 random(2026);
    std::uniform_real_distribution<double> length(0.15, 0.30);
    std::uniform_real_distribution<double> level(3000, 9000);
    std::uniform_int_distribution<int> which(0, 15);
    Plan plan{{}, seconds};
    for (double t = 0.5; t + 1.0 < seconds;) {
        const double amplitude = level(random);
        plan.keys.push_back({"123A456B789C*0#D"[which(random)], t, length(random), amplitude, amplitude * 1.12});
        t += plan.keys.back().duration + length(random);
    }
    return plan;
}

// The plan at `rate`, with low-level noise under it.
std::vector<int16_t> Synthesize(const Plan& plan, int rate) {
    std::vector<double> audio(static_cast<std::size_t>(plan.seconds * rate), 0.0);
    for (const PlannedKey& k : plan.keys) {
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
    scanner.Feed({audio.data(), audio.size() / kBlockSamples * kBlockSamples});
    scanner.Flush();
    return scanner.Keys();
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

// multimon-ng as a whole process; the CPU time of the child from wait4.
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

struct Score {
    int hits, misses, duplicates, false_keys;
};

// Aligns what was heard with the plan (longest common subsequence). Extra
// keys that repeat the key before them are duplicates; other extras are false.
Score Compare(const std::string& planned, const std::string& heard) {
    const std::size_t n = planned.size(), m = heard.size();
    std::vector<std::vector<int>> lcs(n + 1, std::vector<int>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            lcs[i][j] = planned[i] == heard[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
    }
    Score score{lcs[0][0], 0, 0, 0};
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

int main(int argc, char** argv) {
    double minutes = 10;
    int runs = 5;
    std::string multimon = "multimon-ng";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--multimon" && i + 1 < argc) {
            multimon = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--minutes N] [--runs N] [--multimon PATH]\n", argv[0]);
            return 2;
        }
    }
    if (!(minutes > 0)) {
        std::fprintf(stderr, "compare_detectors: --minutes must be positive\n");
        return 2;
    }
    const Plan plan = MakePlan(minutes * 60);
    std::string planned;
    for (const PlannedKey& k : plan.keys) planned += k.key;
    const std::vector<int16_t> at4000 = Synthesize(plan, 4000);
    const std::vector<int16_t> at8000 = Synthesize(plan, 8000);
    const std::vector<int16_t> at22050 = Synthesize(plan, 22050);
    char raw_name[] = "/tmp/compare_detectors_XXXXXX";
    const int raw_fd = mkstemp(raw_name);
    if (raw_fd < 0) {
        std::perror("compare_detectors: temporary file");
        return 1;
    }
    close(raw_fd);
    std::ofstream(raw_name, std::ios::binary)
        .write(reinterpret_cast<const char*>(at22050.data()), static_cast<std::streamsize>(at22050.size() * 2));

    struct Row {
        std::string name;
        std::string keys;
        double cpu;
    };
    std::vector<Row> rows;
    const ToneKernel& scalar = ToneKernelsAvailable()[0];
    auto [scalar_keys, scalar_cpu] = Measure(runs, [&] { return OursOneBlock(at4000, scalar); });
    rows.push_back({"ours, one block, scalar definition", scalar_keys, scalar_cpu});
    auto [one_keys, one_cpu] = Measure(runs, [&] { return OursOneBlock(at4000, ToneKernelChosen()); });
    rows.push_back({std::string("ours, one block, ") + ToneKernelChosen().name + " kernel (8 lanes)", one_keys, one_cpu});
    auto [batch_keys, batch_cpu] = Measure(runs, [&] { return OursBatch(at4000); });
    rows.push_back({std::string("ours, interleaved, ") + ToneKernelChosen().name, batch_keys, batch_cpu});
    auto [span_keys, span_cpu] = Measure(runs, [&] { return Spandsp(at8000); });
    rows.push_back({"spandsp dtmf_rx (8000/s)", span_keys, span_cpu});
    std::vector<double> multimon_times;
    std::string multimon_keys;
    for (int r = 0; r < runs; ++r) {
        auto [keys, cpu] = Multimon(multimon, raw_name);
        if (cpu < 0) break;
        multimon_keys = keys;
        multimon_times.push_back(cpu);
    }
    std::remove(raw_name);
    if (!multimon_times.empty()) {
        rows.push_back({"multimon-ng process (22050/s)", multimon_keys, Median(multimon_times)});
    } else {
        std::fprintf(stderr, "compare_detectors: could not run %s; left out\n", multimon.c_str());
    }

    const double blocks = plan.seconds * 4000 / kBlockSamples;
    std::printf("plan: %.0f s of audio, %zu keys (tones 150-300 ms, gaps 150-300 ms, noise); median of %d runs\n\n",
                plan.seconds, planned.size(), runs);
    std::printf("| detector | ns per 62.5 ms | audio s per CPU s | vs scalar | hits | misses | false | duplicates |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        const Score s = Compare(planned, row.keys);
        std::printf("| %s | %.0f | %.0f | %.2f | %d | %d | %d | %d |\n", row.name.c_str(), row.cpu / blocks * 1e9,
                    plan.seconds / row.cpu, scalar_cpu / row.cpu, s.hits, s.misses, s.false_keys, s.duplicates);
    }
    std::printf("\ninterleaved vs spandsp dtmf_rx: %.1f times the throughput\n", span_cpu / batch_cpu);
    return 0;
}
