// A host program in C++ over the installed libtonescan: pushes a key plan at
// 8000 frames/s in 20 ms pieces, as a telephony host hands over its packets,
// then writes the same plan as a WAV file and scans it by path and by open
// descriptor. All three must find every key, once, in order, with the same
// start and end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tonescan.h>

#include "key_plan.h"

namespace {

constexpr int kRate = 8000;

std::vector<int16_t> Plan() {
    std::vector<int16_t> samples(key_plan_frames(kRate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(std::lrint(key_plan_sample(i, 1, kRate) * 32767));
    }
    return samples;
}

std::vector<tonescan_press> Push(const std::vector<int16_t>& samples) {
    tonescan_spec spec = TONESCAN_SPEC_INIT(kRate, 1);
    int error = TONESCAN_OK;
    tonescan_detector* detector = tonescan_detector_create(&spec, &error);
    std::vector<tonescan_press> found;
    if (detector == nullptr) {
        std::fprintf(stderr, "tonescan_consumer.cpp: create: %s\n", tonescan_strerror(error));
        return found;
    }
    tonescan_press presses[16];
    const auto take = [&] {
        while (const std::size_t n = tonescan_detector_take(detector, presses, 16)) found.insert(found.end(), presses, presses + n);
    };
    for (std::size_t done = 0; done < samples.size() && error == TONESCAN_OK; done += 160) {
        error = tonescan_detector_feed_i16(detector, samples.data() + done, std::min<std::size_t>(160, samples.size() - done),
                                           nullptr);
        take();
    }
    if (error == TONESCAN_OK) error = tonescan_detector_finish(detector);
    take();
    if (error != TONESCAN_OK) std::fprintf(stderr, "tonescan_consumer.cpp: feed: %s\n", tonescan_strerror(error));
    // The stream has ended: more frames are refused until a reset.
    const int16_t silence[1] = {0};
    if (tonescan_detector_feed_i16(detector, silence, 1, nullptr) != TONESCAN_EENDED) {
        std::fprintf(stderr, "tonescan_consumer.cpp: a feed after the end was taken\n");
        found.clear();
    }
    tonescan_detector_destroy(detector);
    return found;
}

void Put(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xff);
}

bool WriteWav(const std::string& path, const std::vector<int16_t>& samples) {
    std::string wav = "RIFF";
    const auto data = static_cast<uint32_t>(2 * samples.size());
    Put(wav, 36 + data, 4);
    wav += "WAVEfmt ";
    Put(wav, 16, 4);
    Put(wav, 1, 2);  // PCM
    Put(wav, 1, 2);  // mono
    Put(wav, kRate, 4);
    Put(wav, 2 * kRate, 4);
    Put(wav, 2, 2);
    Put(wav, 16, 2);
    wav += "data";
    Put(wav, data, 4);
    for (const int16_t sample : samples) Put(wav, static_cast<uint16_t>(sample), 2);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(wav.data(), 1, wav.size(), file) == wav.size();
    return std::fclose(file) == 0 && written;
}

std::vector<tonescan_press> Scan(const std::string& path, bool by_descriptor) {
    std::vector<tonescan_press> found;
    const tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
    tonescan_callbacks callbacks{};
    callbacks.size = sizeof callbacks;
    callbacks.press = [](void* user, const tonescan_press* press) {
        static_cast<std::vector<tonescan_press>*>(user)->push_back(*press);
    };
    callbacks.user = &found;
    int error = TONESCAN_OK;
    tonescan_scanner* scanner = tonescan_scanner_create(&spec, &callbacks, &error);
    if (scanner == nullptr) {
        std::fprintf(stderr, "tonescan_consumer.cpp: scanner: %s\n", tonescan_strerror(error));
        return found;
    }
    if (by_descriptor) {
        const int fd = open(path.c_str(), O_RDONLY);
        error = tonescan_scanner_scan_fd(scanner, fd);
        if (fd >= 0) close(fd);
    } else {
        error = tonescan_scanner_scan_path(scanner, path.c_str());
    }
    if (error != TONESCAN_OK) {
        std::fprintf(stderr, "tonescan_consumer.cpp: scan: %s (%s)\n", tonescan_strerror(error),
                     tonescan_scanner_message(scanner));
        found.clear();
    }
    tonescan_scanner_destroy(scanner);
    return found;
}

bool Check(const char* how, const std::vector<tonescan_press>& found) {
    bool good = found.size() == KEY_PLAN_PRESSES;
    for (std::size_t n = 0; good && n < found.size(); ++n) {
        const int i = static_cast<int>(n);
        good = found[n].key == KEY_PLAN_KEYS[n] &&
               std::abs(static_cast<double>(found[n].start) - static_cast<double>(key_plan_start(i, kRate))) <= 32 &&
               std::abs(static_cast<double>(found[n].end) - static_cast<double>(key_plan_end(i, kRate))) <= 32;
    }
    std::string keys;
    for (const tonescan_press& press : found) keys += press.key;
    std::printf("tonescan_consumer.cpp: %s: %s\n", how, keys.c_str());
    return good;
}

bool Same(const std::vector<tonescan_press>& a, const std::vector<tonescan_press>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t n = 0; n < a.size(); ++n) {
        if (a[n].key != b[n].key || a[n].start != b[n].start || a[n].end != b[n].end) return false;
    }
    return true;
}

}

int main() {
    const std::vector<int16_t> plan = Plan();
    const std::vector<tonescan_press> pushed = Push(plan);
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/consumer-XXXXXX.wav";
    const int fd = mkstemps(path.data(), 4);
    if (fd < 0 || close(fd) != 0 || !WriteWav(path, plan)) {
        std::perror("tonescan_consumer.cpp: writing the WAV file");
        return 1;
    }
    const std::vector<tonescan_press> by_path = Scan(path, false), by_descriptor = Scan(path, true);
    unlink(path.c_str());
    bool good = Check("pushed", pushed);
    good = Check("scanned by path", by_path) && good;
    good = Check("scanned by descriptor", by_descriptor) && good;
    if (!Same(pushed, by_path) || !Same(pushed, by_descriptor)) {
        std::fprintf(stderr, "tonescan_consumer.cpp: the scans and the pushed stream disagree\n");
        return 1;
    }
    return good ? 0 : 1;
}
