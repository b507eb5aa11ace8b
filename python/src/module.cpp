// The extension tonescan._tonescan: libtonescan's detector, scanner and
// redactor for numpy arrays and files. tonescan/__init__.py is its face.
#include <pybind11/pybind11.h>

#include "bindings.h"

PYBIND11_MODULE(_tonescan, module) {
    module.doc() = "libtonescan's detector, scanner and redactor; use it through the tonescan package.";
    module.attr("__version__") = tonescan_version();
    tonescan_py::BindDetector(module);
    tonescan_py::BindScanFile(module);
    tonescan_py::BindRedactor(module);
}
