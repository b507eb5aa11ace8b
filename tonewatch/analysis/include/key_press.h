// The press rule: a key found while no key is held is a new press; any key
// found while one is held is ignored, and a block without a key releases it.
//
//   held | block   | press? | next held
//   -----+---------+--------+----------
//    0   | no key  |  no    |  0
//    0   | key     |  yes   |  1
//    1   | no key  |  no    |  0
//    1   | key     |  no    |  1
#pragma once

#include <cstdint>

namespace tonewatch {

// Advances `key_held` by one block whose analysis gave `key` (NUL for none)
// and tells whether that block registers a press.
constexpr bool KeyPressAdvance(uint32_t& key_held, char key) {
    if (key == '\0') {
        key_held = 0;
        return false;
    }
    if (key_held != 0) return false;
    key_held = 1;
    return true;
}

}
