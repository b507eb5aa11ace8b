// The ALSA service on the file plugin (tests/alsa/file.conf): device 0 reads a
// raw file of our own.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "capture_contract.h"

namespace capturecontract {

namespace {

const std::string kInputPath = "/tmp/tonewatch-contract-" + std::to_string(getpid()) + ".raw";

void WriteInput(const std::vector<uint8_t>& bytes) {
    std::ofstream(kInputPath, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct RemoveAtExit {
    ~RemoveAtExit() { std::remove(kInputPath.c_str()); }
} remove_at_exit;

}

void PrepareBackend() {
    setenv("ALSA_CONFIG_PATH", TONEWATCH_ALSA_CONF_DIR "/file.conf", 1);
    unsetenv("TONEWATCH_CAPTURE_DEVICE");
    setenv("TONEWATCH_TEST_INFILE", kInputPath.c_str(), 1);
    WriteInput({});
}

bool InputIsExact() { return true; }

void ProvideInput(const std::vector<uint8_t>& bytes) { WriteInput(bytes); }

}
