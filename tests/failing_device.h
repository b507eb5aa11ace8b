// ALSA's "default" as a capture device whose reads fail (failing_pcm.c), in a
// configuration the test writes, and the device's counters.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tonetest {

class FailingDevice {
public:
    // Delivers `good_frames` frames of silence, then fails `failures` reads
    // in a row with -`error` (every read from then on with -1).
    FailingDevice(long good_frames, long failures, int error) {
        // Held open so that the counters outlive each open of the device.
        module_ = dlopen(TONEWATCH_FAILING_PCM, RTLD_NOW);
        EXPECT_NE(module_, nullptr) << dlerror();
        // A new name each time: ALSA notices a changed configuration by its
        // name and modification second.
        static int written = 0;
        path_ = testing::TempDir() + "tonewatch-failing-" + std::to_string(getpid()) + "-" +
                std::to_string(++written) + ".conf";
        std::ofstream(path_) << "pcm_type.tonewatch_failing { lib \"" TONEWATCH_FAILING_PCM "\" }\n"
                             << "pcm.!default { type tonewatch_failing good_frames " << good_frames << " failures "
                             << failures << " error " << error << " }\n";
        setenv("ALSA_CONFIG_PATH", path_.c_str(), 1);
        unsetenv("TONEWATCH_CAPTURE_DEVICE");
        stops_at_start_ = Stops();
        failed_at_start_ = ReadsFailed();
    }

    ~FailingDevice() {
        std::remove(path_.c_str());
        if (module_ != nullptr) dlclose(module_);
    }

    // Since this device was set up: times it was stopped, reads that failed.
    int Stops() const { return Counter("tonewatch_failing_stops") - stops_at_start_; }
    int ReadsFailed() const { return Counter("tonewatch_failing_reads_failed") - failed_at_start_; }

private:
    int Counter(const char* name) const {
        const auto* counter = module_ != nullptr ? static_cast<const int*>(dlsym(module_, name)) : nullptr;
        return counter != nullptr ? __atomic_load_n(counter, __ATOMIC_SEQ_CST) : 0;
    }

    void* module_ = nullptr;
    std::string path_;
    int stops_at_start_ = 0;
    int failed_at_start_ = 0;
};

}
