// What the host tools share besides the command line (command_line.h): their
// name in messages, output whose every write is checked, and file names and
// JSON that cannot forge a line.
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

// "PROG: message" on stderr.
void Complain(const std::string& message);

// Writes to stdout. A failed write is "PROG: write error: REASON" on stderr
// and the end of the process with status 1: results that cannot be written
// must not look delivered. FinishOutput() flushes and closes stdout, reports
// a failure the same way and returns false.
void Output(std::string_view text);
bool FinishOutput();

// The process's exit status once the output is finished: `status`, or 1 when
// the output could not be written.
int ExitStatus(int status);

// A file name as text output shows it: unchanged when it is printable, else
// in double quotes with C escapes (\n, \t, \", \\, \xHH), so that a name
// holding a newline cannot split or forge a result line.
std::string QuotedName(const std::string& name);

// A JSON string literal, quotes included. File names are bytes, not text:
// each byte that is not part of valid UTF-8 (always 0x80-0xFF) becomes the
// escape \udcXX of a lone low surrogate, as Python's "surrogateescape"
// decodes it, so that a reader gets the bytes back (os.fsencode).
std::string JsonString(std::string_view text);

// One press as a JSON member list without braces: "time":T,"key":"K".
std::string JsonPressMembers(const std::string& time, char key);

}
