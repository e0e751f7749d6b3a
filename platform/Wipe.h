#pragma once
// Overwriting a secret (a password) before its memory is given back, with explicit_bzero, a
// store the compiler may not drop as dead. The engine, the component and the program use it.

#include <string.h>

#include <cstddef>
#include <string>

namespace platform {

inline void wipe(void* data, size_t size) {
    if (data != nullptr && size > 0) {
        explicit_bzero(data, size);
    }
}

// Every byte the string holds, up to its capacity, then empties it.
inline void wipe(std::string& text) {
    text.resize(text.capacity());
    wipe(text.data(), text.size());
    text.clear();
}

}  // namespace platform
