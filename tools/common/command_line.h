// The command line every host tool has: its own options, -h/--help and
// --version, and usage errors that name the tool and point to --help.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace dtmftools {

// One of a tool's own options.
struct Option {
    const char* name;  // the long name, without "--"
    char letter;       // the short name, or 0 for none
    bool takes_value;
    // Called each time the option is given, in command-line order, with its
    // value (nullptr when it takes none).
    std::function<void(const char* value)> take;
};

// How many operands a tool takes.
struct Operands {
    std::size_t min = 0;
    std::size_t max = SIZE_MAX;
    const char* missing = "";  // the usage error for fewer than `min`
};

// Reads argv's options as getopt_long does (operands may stand among them,
// "--" ends them, a long name may be cut to a prefix that is unique) and
// returns the operands. -h/--help prints `usage`, --version the version line,
// and the process then exits with status 0 (1 when that cannot be written).
// An unknown option, a value missing or not wanted, or operands too few or too
// many are usage errors.
std::vector<std::string> ParseCommandLine(int argc, char** argv, const char* usage, const std::vector<Option>& options,
                                          const Operands& operands = {});

// "PROG: message" and a pointer to --help on stderr; exits with status 2.
[[noreturn]] void UsageError(const std::string& message);

// A whole number from `min` to `max`, or a usage error naming `option`.
int WholeNumber(std::string_view option, std::string_view text, int min, int max);

// The index of `text` among `names`, or a usage error naming `option` and
// listing them ("--detector is library or recording, not 'x'").
std::size_t OneOf(std::string_view option, std::string_view text, std::initializer_list<std::string_view> names);

}
