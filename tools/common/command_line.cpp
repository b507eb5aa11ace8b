#include "command_line.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace dtmftools {
namespace {

// getopt_long's code for an option without a letter: above every char.
constexpr int kLongOnly = 256;

bool IsLong(const char* argument) { return std::strncmp(argument, "--", 2) == 0; }

// The usage error for what getopt_long returned as `result` ('?' or ':').
// It leaves in optopt the letter of a short option, 0 for a long one it does
// not know, or the code of one it knows but that lacks or must not have a
// value; a long one is then argv[optind - 1]. Some getopt_longs return ':'
// for an unwanted value too: the '=' tells.
[[noreturn]] void OptionError(int result, char* const argv[], const std::string& letters) {
    const bool known_letter =
        optopt > 0 && optopt < kLongOnly && letters.find(static_cast<char>(optopt)) != std::string::npos;
    const char* const last = argv[optind - 1];
    const bool long_option = optopt == 0 || optopt >= kLongOnly || (result == ':' ? IsLong(last) : known_letter);
    if (!long_option) {
        const std::string option = std::string("-") + static_cast<char>(optopt);
        UsageError(result == ':' ? "option '" + option + "' needs a value" : "invalid option '" + option + "'");
    }
    if (optopt == 0) UsageError(std::string("invalid option '") + last + "'");
    const char* const equals = std::strchr(last, '=');
    const std::string option(last, equals != nullptr ? equals : last + std::strlen(last));
    UsageError("option '" + option + (equals != nullptr ? "' takes no value" : "' needs a value"));
}

// "PROG (Tonewatch) VERSION" on stdout.
void PrintVersion() { Output(std::string(ProgramName()) + " (Tonewatch) " TONEWATCH_TOOLS_VERSION "\n"); }

}

std::vector<std::string> ParseCommandLine(int argc, char** argv, const char* usage, const std::vector<Option>& options,
                                          const Operands& operands) {
    const auto code = [](const Option& option, std::size_t index) {
        return option.letter != 0 ? option.letter : kLongOnly + static_cast<int>(index);
    };
    const int version = kLongOnly + static_cast<int>(options.size());
    std::vector<option> table;
    std::string short_options = ":";
    std::string letters;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const Option& given = options[i];
        table.push_back({given.name, given.takes_value ? required_argument : no_argument, nullptr, code(given, i)});
        if (given.letter == 0) continue;
        letters += given.letter;
        short_options += given.letter;
        if (given.takes_value) short_options += ':';
    }
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({"version", no_argument, nullptr, version});
    table.push_back({nullptr, 0, nullptr, 0});
    letters += 'h';
    short_options += 'h';

    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, short_options.c_str(), table.data(), nullptr)) != -1;) {
        if (c == 'h') {
            Output(usage);
            std::exit(ExitStatus(0));
        }
        if (c == version) {
            PrintVersion();
            std::exit(ExitStatus(0));
        }
        if (c == '?' || c == ':') OptionError(c, argv, letters);
        for (std::size_t i = 0; i < options.size(); ++i) {
            if (code(options[i], i) == c) options[i].take(options[i].takes_value ? optarg : nullptr);
        }
    }
    std::vector<std::string> found(argv + optind, argv + argc);
    if (found.size() < operands.min) UsageError(operands.missing);
    if (found.size() > operands.max) UsageError("unexpected argument '" + found[operands.max] + "'");
    return found;
}

void UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", ProgramName(), message.c_str(),
                 ProgramName());
    std::exit(2);
}

int WholeNumber(std::string_view option, std::string_view text, int min, int max) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        UsageError(std::string(option) + " needs a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not '" + std::string(text) + "'");
    }
    return value;
}

std::size_t OneOf(std::string_view option, std::string_view text, std::initializer_list<std::string_view> names) {
    std::string listed;
    std::size_t index = 0;
    for (const std::string_view name : names) {
        if (name == text) return index;
        ++index;
        listed += std::string(index == 1 ? "" : index == names.size() ? " or " : ", ") + std::string(name);
    }
    UsageError(std::string(option) + " is " + listed + ", not '" + std::string(text) + "'");
}

}
