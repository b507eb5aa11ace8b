// What the binding files share: the library's results as Python
// exceptions, the names of detectors and channels, presses and spans as the
// module's classes.
#include "bindings.h"

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tonescan_py {

void ThrowResult(int code, const std::string& context) {
    std::string message = context.empty() ? tonescan_strerror(code) : context + ": " + tonescan_strerror(code);
    switch (code) {
        case TONESCAN_EARG:
        case TONESCAN_ERATE:
        case TONESCAN_ECHANNEL:
        case TONESCAN_EENDED:
            throw py::value_error(message);
        case TONESCAN_ENOMEM:
            throw std::bad_alloc();
        default:
            throw std::runtime_error(message);
    }
}

int DetectorNamed(const std::string& name) {
    if (name == "recording") return TONESCAN_RECORDING;
    if (name == "library") return TONESCAN_BLOCKS;
    throw py::value_error("detector must be \"recording\" or \"library\", not \"" + name + "\"");
}

int ChannelOf(const py::object& channel) {
    if (channel.is_none()) return 0;
    if (!py::isinstance<py::int_>(channel)) {
        throw py::type_error("channel must be an int or None, not " +
                             py::type::handle_of(channel).attr("__name__").cast<std::string>());
    }
    const int number = channel.cast<int>();
    if (number < 1) throw py::value_error("channel counts from 1 (None: the average of all), not " + std::to_string(number));
    return number;
}

py::list PressList(const std::vector<tonescan_press>& presses) {
    const py::object press_class = py::module_::import("tonescan._types").attr("Press");
    py::list list;
    for (const tonescan_press& press : presses) {
        list.append(press_class(std::string(1, press.key), static_cast<double>(press.start_us) / 1e6,
                                static_cast<double>(press.end_us) / 1e6, press.start, press.end,
                                static_cast<double>(press.low_dbfs), static_cast<double>(press.high_dbfs)));
    }
    return list;
}

py::list SpanList(const std::vector<tonescan_span>& spans, double rate) {
    const py::object span_class = py::module_::import("tonescan._types").attr("Span");
    py::list list;
    for (const tonescan_span& span : spans) {
        const py::object key = span.key != 0 ? py::object(py::str(std::string(1, span.key))) : py::object(py::none());
        list.append(span_class(static_cast<double>(span.start) / rate, static_cast<double>(span.end) / rate, span.start,
                               span.end, key, span.press != 0));
    }
    return list;
}

}
