// Writes a key plan under one of the test conditions as a 16-bit WAV file,
// for the shell tests: the same plan for the same seed on every run (the
// shuffles and noise are those of libstdc++). Conditions that play speech
// need a recording and are refused. TONE-MS and PAUSE-MS replace the
// condition's lengths of tones and pauses.
// usage: key_plan_wav CONDITION PRESSES-PER-KEY SEED OUT.wav [TONE-MS PAUSE-MS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "key_plans.h"

namespace {

const tonetest::Condition* Find(const std::string& name) {
    for (const auto* table : {&tonetest::Conditions(), &tonetest::CallConditions()}) {
        for (const tonetest::Condition& c : *table) {
            if (name == c.name) return &c;
        }
    }
    return nullptr;
}

}

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: %s CONDITION PRESSES-PER-KEY SEED OUT.wav [TONE-MS PAUSE-MS]\n", argv[0]);
        return 2;
    }
    const tonetest::Condition* c = Find(argv[1]);
    if (c == nullptr || c->under == tonetest::Under::kSpeech) {
        std::fprintf(stderr, "%s: no condition '%s' without speech\n", argv[0], argv[1]);
        return 2;
    }
    const int per_key = std::atoi(argv[2]);
    const auto seed = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    if (per_key < 1) {
        std::fprintf(stderr, "%s: presses per key must be 1 or more\n", argv[0]);
        return 2;
    }
    tonetest::Shape shape = c->shape;
    if (argc == 7) {
        shape.tone_ms = std::atof(argv[5]);
        shape.pause_ms = std::atof(argv[6]);
        if (!(shape.tone_ms > 0 && shape.pause_ms > 0)) {
            std::fprintf(stderr, "%s: tones and pauses must last more than 0 ms\n", argv[0]);
            return 2;
        }
    }
    const tonetest::Plan plan = tonetest::MakePlan(shape, per_key, seed);
    const std::vector<int16_t> audio = tonetest::Hear(*c, plan, seed);
    if (audio.empty()) {
        std::fprintf(stderr, "%s: sox failed for '%s'\n", argv[0], argv[1]);
        return 1;
    }
    if (!tonetest::WriteWav(argv[4], audio, c->rate, c->channels)) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[4]);
        return 1;
    }
    return 0;
}
