// dtmf-redact: masks the DTMF key tones of a recording through libtonescan's
// redactor, so that the digits keyed during a call are not kept.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_line.h"
#include "redact_file.h"
#include "tonescan.h"
#include "tool.h"

namespace {

constexpr const char* kUsage =
    "Usage: dtmf-redact [OPTION]... IN OUT\n"
    "  or:  dtmf-redact [OPTION]... --in-place FILE...\n"
    "  or:  dtmf-redact [OPTION]... -d OUTDIR FILE...\n"
    "Mask the DTMF key tones (0-9, *, #, A-D) of a recording: every span where\n"
    "a key's tone pair stands, in every channel, is replaced by silence or\n"
    "noise, so that the digits keyed during a call are not kept. Masked are the\n"
    "presses that dtmf-scan's recording detector finds and the tone pairs of\n"
    "20 ms or more too short or too weak to count as a press, where they stand\n"
    "clear of other sound but a background (music's notes at key frequencies,\n"
    "which come with other notes, are left alone). Each span is\n"
    "widened by a guard on both sides and faded out and in over 5 ms inside it.\n"
    "Outside the spans the audio is unchanged: PCM of 16 bits or fewer, 24-bit\n"
    "PCM, float, u-law and A-law sample for sample; FLAC losslessly; Ogg\n"
    "Vorbis, GSM and the other coded formats are coded anew.\n"
    "\n"
    "IN is anything libsndfile reads; \"-\" is standard input. OUT is written\n"
    "in IN's format, rate and channels (\"-\" is standard output), and takes\n"
    "its name only once it is whole: a failure leaves no OUT. OUT may not be\n"
    "IN; --in-place replaces IN instead. With -d, each FILE is written to\n"
    "OUTDIR under its own name, and each log line starts with \"file\".\n"
    "\n"
    "Options:\n"
    "      --guard=MS          widen each span by MS milliseconds on both sides\n"
    "                          (0-1000, default 20)\n"
    "      --fill=WHAT         what replaces the spans (default: silence):\n"
    "                            silence  digital silence\n"
    "                            noise    white noise at the level of the audio\n"
    "                                     before the span\n"
    "      --output-format=F   write OUT as F: wav, wavex, w64, rf64, aiff, au,\n"
    "                          caf, flac or ogg, keeping IN's encoding where F\n"
    "                          holds it (else 16-bit PCM; Vorbis in ogg)\n"
    "      --in-place          write the result over FILE: through a file beside\n"
    "                          it, synced and renamed over it, with FILE's mode\n"
    "  -d, --directory=OUTDIR  write each FILE into OUTDIR under its own name\n"
    "  -j, --jobs=N            redact N files at a time (1-64, default: one per\n"
    "                          processor); with --in-place or -d\n"
    "      --log=FILE          write the log to FILE instead of standard error:\n"
    "                          one JSON line per masked span\n"
    "                          {\"start\",\"end\",\"start_frame\",\"end_frame\",\n"
    "                          \"key\",\"kind\"} (seconds and frames of IN, the\n"
    "                          key or null, \"press\" or \"partial\"), then\n"
    "                          {\"spans\",\"masked_seconds\",\"seconds\"}\n"
    "  -h, --help              show this help and exit\n"
    "      --version           show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0 when every OUT was written; 1 when an IN could not be read or its OUT\n"
    "  not written (IN is left as it was, and no OUT; the other files are still\n"
    "  redacted); 2 for a usage error.\n";

bool SameFile(const std::string& a, const std::string& b) {
    if (a == b) return a != "-";
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}

std::string Basename(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-redact");
    dtmftools::GuardStandardDescriptors();
    dtmftools::RedactOptions options;
    std::string log_name;
    std::string directory;
    unsigned jobs = std::clamp(std::thread::hardware_concurrency(), 1u, static_cast<unsigned>(dtmftools::kMostJobs));
    const std::vector<dtmftools::Option> own = {
        {"guard", 0, true, [&](const char* v) { options.guard_ms = dtmftools::WholeNumber("--guard", v, 0, 1000); }},
        {"fill", 0, true,
         [&](const char* v) {
             options.fill = dtmftools::OneOf("--fill", v, {"silence", "noise"}) == 0 ? TONESCAN_FILL_SILENCE
                                                                                     : TONESCAN_FILL_NOISE;
         }},
        {"output-format", 0, true,
         [&](const char* v) {
             if (!dtmftools::KnownOutputFormat(v)) {
                 dtmftools::UsageError(std::string("--output-format is wav, wavex, w64, rf64, aiff, au, caf, flac or "
                                                   "ogg, not '") + v + "'");
             }
             options.output_format = v;
         }},
        {"in-place", 0, false, [&](const char*) { options.in_place = true; }},
        {"directory", 'd', true, [&](const char* v) { directory = v; }},
        {"jobs", 'j', true,
         [&](const char* v) {
             jobs = static_cast<unsigned>(dtmftools::WholeNumber("--jobs", v, 1, dtmftools::kMostJobs));
         }},
        {"log", 0, true, [&](const char* v) { log_name = v; }},
    };
    const std::vector<std::string> names =
        dtmftools::ParseCommandLine(argc, argv, kUsage, own, {1, SIZE_MAX, "IN and OUT are needed"});
    // Each input and where it goes.
    std::vector<std::pair<std::string, std::string>> work;
    if (!directory.empty() && options.in_place) dtmftools::UsageError("-d and --in-place exclude each other");
    if (!directory.empty() || options.in_place) {
        for (const std::string& name : names) {
            if (name == "-") dtmftools::UsageError("standard input has no name to write under");
            work.emplace_back(name, options.in_place ? name : directory + "/" + Basename(name));
        }
        options.log_names = !directory.empty();
    } else {
        if (names.size() != 2) dtmftools::UsageError(names.size() < 2 ? "IN and OUT are needed" : "one IN and one OUT");
        work.emplace_back(names[0], names[1]);
    }
    for (const auto& [in, out] : work) {
        if (!options.in_place && SameFile(in, out)) {
            dtmftools::UsageError("OUT is IN (" + in + "): give another OUT, or --in-place to replace IN");
        }
    }
    std::FILE* log = stderr;
    if (!log_name.empty()) {
        log = std::fopen(log_name.c_str(), "w");
        if (log == nullptr) {
            dtmftools::Complain(dtmftools::QuotedName(log_name) + ": cannot open the log");
            return 1;
        }
    }
    dtmftools::RemoveTemporaryOnSignals();
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{true};
    const auto redact = [&](int slot) {
        for (std::size_t i; (i = next++) < work.size();) {
            if (!dtmftools::RedactFile(work[i].first, work[i].second, options, log, slot)) ok = false;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned slot = 1; slot < std::min<std::size_t>(jobs, work.size()); ++slot) {
        threads.emplace_back(redact, static_cast<int>(slot));
    }
    redact(0);
    for (std::thread& thread : threads) thread.join();
    if (log != stderr && std::fclose(log) != 0) {
        dtmftools::Complain(dtmftools::QuotedName(log_name) + ": write error");
        ok = false;
    }
    return ok ? 0 : 1;
}
