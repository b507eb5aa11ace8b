// tonescan.scan_file: dtmf-scan's engine over one file.
#include <pybind11/pybind11.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "bindings.h"

namespace py = pybind11;

namespace tonescan_py {
namespace {

struct ScannerDeleter {
    void operator()(tonescan_scanner* scanner) const { tonescan_scanner_destroy(scanner); }
};

// What the callbacks collect while the scan runs without the GIL.
struct Found {
    std::vector<tonescan_press> presses;
    std::vector<std::string> notices;
};

extern "C" void OnPress(void* user, const tonescan_press* press) {
    static_cast<Found*>(user)->presses.push_back(*press);
}

extern "C" void OnNotice(void* user, const char* text) { static_cast<Found*>(user)->notices.emplace_back(text); }

// The errno of an input that could not be opened, where the file system
// tells it; 0 where it does not.
int OpenErrno(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return errno;
    if (access(path.c_str(), R_OK) != 0) return errno;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    return 0;
}

// The OSError carries the presses found before the fault in `presses`, as
// dtmf-scan prints them before its error: a file cut short loses nothing.
[[noreturn]] void RaiseOSError(int code, const std::string& message, const std::string& path,
                               const py::object& filename, const std::vector<tonescan_press>& presses) {
    const int error = code == TONESCAN_EOPEN ? OpenErrno(path) : 0;
    const py::object number = error != 0 ? py::object(py::int_(error)) : py::object(py::none());
    const py::object exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(number, message, filename);
    exception.attr("presses") = PressList(presses);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

py::list ScanFile(const py::object& path, const std::string& detector, const py::object& channel,
                  const py::object& stream, const py::object& raw_rate, int raw_channels, int threads) {
    const py::module_ os = py::module_::import("os");
    const py::object filename = os.attr("fspath")(path);
    const std::string bytes = os.attr("fsencode")(filename).cast<std::string>();
    if (bytes.empty()) throw py::value_error("path is empty");
    if (bytes.find('\0') != std::string::npos) throw py::value_error("path contains a NUL byte");

    tonescan_scan_spec settings = TONESCAN_SCAN_SPEC_INIT;
    settings.detector = DetectorNamed(detector);
    settings.channel = ChannelOf(channel);
    if (!stream.is_none()) {
        const long number = stream.cast<long>();
        if (number < 1) throw py::value_error("stream counts from 1 (None: the first), not " + std::to_string(number));
        settings.stream = number;
    }
    if (!raw_rate.is_none()) {
        const int rate = raw_rate.cast<int>();
        if (rate < 4000 || rate > 192000) {
            throw py::value_error("raw_rate must be 4000-192000 frames/s, not " + std::to_string(rate));
        }
        settings.raw_rate = rate;
    }
    if (raw_channels < 1) throw py::value_error("raw_channels must be at least 1, not " + std::to_string(raw_channels));
    if (threads < 1) throw py::value_error("threads must be at least 1, not " + std::to_string(threads));
    settings.raw_channels = raw_channels;
    settings.threads = threads;

    Found found;
    tonescan_callbacks callbacks{};
    callbacks.size = sizeof callbacks;
    callbacks.press = OnPress;
    callbacks.notice = OnNotice;
    callbacks.user = &found;
    int result = TONESCAN_OK;
    std::string message;
    {
        py::gil_scoped_release released;
        int error = TONESCAN_OK;
        const std::unique_ptr<tonescan_scanner, ScannerDeleter> scanner(
            tonescan_scanner_create(&settings, &callbacks, &error));
        if (!scanner) ThrowResult(error, "scan_file");
        result = tonescan_scanner_scan_path(scanner.get(), bytes.c_str());
        message = tonescan_scanner_message(scanner.get());
    }
    if (message.empty()) message = tonescan_strerror(result);
    const py::object warn = py::module_::import("warnings").attr("warn");
    for (const std::string& notice : found.notices) warn(notice, py::handle(PyExc_RuntimeWarning), 2);
    switch (result) {
        case TONESCAN_OK:
            return PressList(found.presses);
        case TONESCAN_EOPEN:
        case TONESCAN_EFORMAT:
        case TONESCAN_ETRUNCATED:
        case TONESCAN_EREAD:
            RaiseOSError(result, message, bytes, filename, found.presses);
        case TONESCAN_EARG:
        case TONESCAN_ERATE:
        case TONESCAN_ECHANNEL:
            throw py::value_error(message);
        default:
            ThrowResult(result, message);
    }
}

}

void BindScanFile(py::module_& module) {
    module.def("scan_file", &ScanFile, py::arg("path"), py::kw_only(), py::arg("detector") = "recording",
               py::arg("channel") = py::none(), py::arg("stream") = py::none(), py::arg("raw_rate") = py::none(),
               py::arg("raw_channels") = 1, py::arg("threads") = 1,
               "Scans a file with dtmf-scan's engine and returns its presses; see tonescan.scan_file.");
}

}
