// What the host tools share on the command line: usage errors, --version,
// output whose every write is checked, and file names and JSON that cannot
// forge a line.
#pragma once

#include <string>
#include <string_view>

namespace dtmftools {

// The program's name in messages; set once, first thing in main.
void SetProgramName(const char* name);
const char* ProgramName();

// Standard descriptors that were closed are reopened on /dev/null, for
// reading on 1 and 2 so that writes there still fail: otherwise the next
// file opened would take their place and receive the output.
void GuardStandardDescriptors();

// "PROG: message" and a pointer to --help on stderr; exits with status 2.
[[noreturn]] void UsageError(const std::string& message);

// "PROG (Tonewatch) VERSION" on stdout.
void PrintVersion();

// "PROG: message" on stderr.
void Complain(const std::string& message);

// The usage error for what getopt_long returned as `result` ('?' for an
// option it does not know, ':' for a missing value; opterr must be 0 and the
// short options must start with ':').
[[noreturn]] void OptionError(int result, char* const argv[]);

// A whole number from `min` to `max`, or a usage error naming `option`.
int WholeNumber(std::string_view option, std::string_view text, int min, int max);

// Writes to stdout. A failed write is "PROG: write error: REASON" on stderr
// and the end of the process with status 1: results that cannot be written
// must not look delivered. FinishOutput() flushes and closes stdout, reports
// a failure the same way and returns false.
void Output(std::string_view text);
bool FinishOutput();

// A file name as text output shows it: unchanged when it is printable, else
// in double quotes with C escapes (\n, \t, \", \\, \xHH), so that a name
// holding a newline cannot split or forge a result line.
std::string QuotedName(const std::string& name);

// A JSON string literal, quotes included. File names are bytes, not text:
// bytes that are not valid UTF-8 become U+FFFD so the output stays valid JSON.
std::string JsonString(std::string_view text);

// One press as a JSON member list without braces: "time":T,"key":"K".
std::string JsonPressMembers(const std::string& time, char key);

}
