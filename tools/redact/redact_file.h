// dtmf-redact's work on one file: audio read through libsndfile, masked by
// libtonescan's redactor, written to a temporary file beside the output that
// takes the output's name only once it is whole.
#pragma once

#include <cstdio>
#include <string>

namespace dtmftools {

struct RedactOptions {
    int guard_ms = 20;
    int fill = 0;               // TONESCAN_FILL_*
    std::string output_format;  // a container's name; empty: the input's
    bool in_place = false;      // the output replaces the input, keeping its mode
    bool log_names = false;     // each log line names its input
};

// Files redacted at a time at most.
constexpr int kMostJobs = 64;

// The container names --output-format takes, for the help and its check.
bool KnownOutputFormat(const std::string& name);

// Redacts `in` ("-": standard input) into `out` ("-": standard output), with
// one JSON line per masked span and a summary line on `log`. Returns true on
// success; on failure says why on stderr and leaves no output file. Jobs at
// the same time each have a `slot` of their own, below kMostJobs.
bool RedactFile(const std::string& in, const std::string& out, const RedactOptions& options, std::FILE* log,
                int slot = 0);

// Removes a temporary output when a signal ends the process.
void RemoveTemporaryOnSignals();

}
