// dtmf-listen's recording detector: captures 8000/s mono from an ALSA PCM
// itself and hands it to libtonescan's push detector, printing each press
// with its start and end as soon as it is found.
#pragma once

#include <csignal>
#include <string>

namespace dtmftools {

struct RecordingListen {
    std::string device;  // the ALSA PCM
    double seconds = 0;  // 0: until `stop` is set
    bool json = false;
    const volatile std::sig_atomic_t* stop = nullptr;
};

// Listens until the time is up or `stop` is set; returns the exit status
// (0, or 1 after saying why on stderr).
int ListenForRecordings(const RecordingListen& listen);

}
