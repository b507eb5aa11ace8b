// No exception crosses the C API: what the engine throws (an allocation that
// failed, above all) becomes the call's result code.
#pragma once

#include <new>

#include "tonescan.h"

namespace tonescan {

template <typename Call>
int Guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return TONESCAN_ENOMEM;
    } catch (...) {
        return TONESCAN_EINTERNAL;
    }
}

}
