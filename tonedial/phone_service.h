// The seam to the phone library: its per-character and its closing operation.
//
// Exactly one backend defines these functions in a given link: the tone phone
// for the shared library, a recording phone in the tests.
//
// Contract every backend keeps:
// - SendDigit takes one UTF-16 unit, zero-extended. A DTMF key (0-9, *, #,
//   A-D) is dialled; what any other unit does is the backend's own choice.
// - FinishDigits closes a dial: it returns once everything sent has left, and
//   the next SendDigit starts a new dial.
// - Neither reports a result, and both may block while the line is busy.
// - Calls may come from several threads at once; the backend keeps its own
//   state safe, the caller takes no lock.
#pragma once

#include <cstdint>

namespace tonedial {

void SendDigit(uint32_t unit);
void FinishDigits();

}
