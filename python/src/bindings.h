// What the binding files share: the library's results as Python exceptions,
// presses and spans as the module's classes, and each file's part of the
// module.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "tonescan.h"

namespace tonescan_py {

// A failed call's code as the exception Python expects: ValueError for bad
// arguments, MemoryError, RuntimeError for the rest. `context` goes before
// the library's words. Safe without the GIL.
[[noreturn]] void ThrowResult(int code, const std::string& context = {});

// The detector named as dtmf-scan's --detector names it, or ValueError.
int DetectorNamed(const std::string& name);

// channel=None is 0 (the average), else 1-based as given.
int ChannelOf(const pybind11::object& channel);

// Presses and spans as tonescan.Press and tonescan.Span. Needs the GIL.
pybind11::list PressList(const std::vector<tonescan_press>& presses);
pybind11::list SpanList(const std::vector<tonescan_span>& spans, double rate);

void BindDetector(pybind11::module_& module);
void BindScanFile(pybind11::module_& module);
void BindRedactor(pybind11::module_& module);

}
