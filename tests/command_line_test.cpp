// The command line the host tools share, on a tool with options of every kind:
// what each command line prints, its exit status, and what reaches the tool.
#include "command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tool.h"

namespace {

constexpr const char* kUsage = "Usage: test-tool [OPTION]... FILE [FILE]\n";

struct Case {
    std::vector<const char*> arguments;
    int status;
    std::string out;  // from a run: the options taken and the operands
    std::string err;
};

// Parses `arguments` as test-tool, writes what the tool was given and exits 0.
[[noreturn]] void RunTestTool(std::vector<const char*> arguments, const std::string& out_path) {
    std::freopen(out_path.c_str(), "w", stdout);
    dtmftools::SetProgramName("test-tool");
    arguments.insert(arguments.begin(), "test-tool");
    std::vector<char*> argv;
    for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);
    std::string taken;
    const std::vector<dtmftools::Option> options = {
        {"device", 'D', true, [&](const char* value) { taken += std::string("D=") + value + " "; }},
        {"seconds", 'd', true, [&](const char* value) { taken += std::string("seconds=") + value + " "; }},
        {"detector", 0, true, [&](const char* value) { taken += std::string("detector=") + value + " "; }},
        {"json", 0, false, [&](const char* value) { taken += value == nullptr ? "json " : "json=? "; }},
        {"quiet", 'q', false, [&](const char*) { taken += "q "; }},
    };
    const std::vector<std::string> operands = dtmftools::ParseCommandLine(
        static_cast<int>(argv.size() - 1), argv.data(), kUsage, options, {1, 2, "no FILE"});
    taken += "|";
    for (const std::string& operand : operands) taken += " " + operand;
    dtmftools::Output(taken + "\n");
    std::exit(dtmftools::ExitStatus(0));
}

std::string Usage(const std::string& message) {
    return "test-tool: " + message + "\nTry 'test-tool --help' for more information.\n";
}

class CommandLine : public testing::TestWithParam<Case> {};

TEST_P(CommandLine, PrintsAndExitsAsTheToolsDo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Case& given = GetParam();
    // The child that runs the statement is this program started again, with
    // this environment: the first process names the file, which both read.
    const std::string own_path = testing::TempDir() + "command_line_test_" + std::to_string(getpid());
    setenv("COMMAND_LINE_TEST_OUT", own_path.c_str(), 0);
    const std::string out_path = std::getenv("COMMAND_LINE_TEST_OUT");
    std::remove(out_path.c_str());
    EXPECT_EXIT(RunTestTool(given.arguments, out_path), testing::ExitedWithCode(given.status), testing::Eq(given.err));
    std::ifstream file(out_path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), given.out);
    std::remove(out_path.c_str());
}

const std::string kVersion = "test-tool (Tonewatch) " TONEWATCH_TOOLS_VERSION "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    testing::Values(
        // --help and --version, at once and ahead of anything after them.
        Case{{"--help"}, 0, kUsage, ""},
        Case{{"-h"}, 0, kUsage, ""},
        Case{{"--he"}, 0, kUsage, ""},
        Case{{"-qh", "--bogus"}, 0, kUsage, ""},
        Case{{"--version"}, 0, kVersion, ""},
        Case{{"--version", "--help"}, 0, kVersion, ""},
        Case{{"--bogus", "--help"}, 2, "", Usage("invalid option '--bogus'")},
        // Options the tool does not have, or with a value missing or not wanted.
        Case{{"-x", "a"}, 2, "", Usage("invalid option '-x'")},
        Case{{"-qx", "a"}, 2, "", Usage("invalid option '-x'")},
        Case{{"--bogus=1", "a"}, 2, "", Usage("invalid option '--bogus=1'")},
        Case{{"--de", "x", "a"}, 2, "", Usage("invalid option '--de'")},
        Case{{"a", "-d"}, 2, "", Usage("option '-d' needs a value")},
        Case{{"a", "--seconds"}, 2, "", Usage("option '--seconds' needs a value")},
        Case{{"a", "--detector"}, 2, "", Usage("option '--detector' needs a value")},
        Case{{"--json=1", "a"}, 2, "", Usage("option '--json' takes no value")},
        Case{{"--help=1"}, 2, "", Usage("option '--help' takes no value")},
        // Operands too few or too many.
        Case{{}, 2, "", Usage("no FILE")},
        Case{{"--json"}, 2, "", Usage("no FILE")},
        Case{{"a", "b", "c"}, 2, "", Usage("unexpected argument 'c'")},
        // Options in order, among the operands; values attached, after "=" or
        // apart; "--" ends the options.
        Case{{"a", "-Dpcm", "--json", "-q", "b"}, 0, "D=pcm json q | a b\n", ""},
        Case{{"-D", "", "--seconds=2", "--det", "library", "-d", "3", "a"}, 0,
             "D= seconds=2 detector=library seconds=3 | a\n", ""},
        Case{{"--", "-a", "--help"}, 0, "| -a --help\n", ""},
        Case{{"--json", "a", "--", "-q"}, 0, "json | a -q\n", ""}));

}
