// What every entry point of the C interface shares: the catch-all that keeps C++ exceptions
// inside the library, and the struct_size rule for structs that may grow.
//
//   extern "C" int vantrel_x(...) { return guarded([&] { ...checks...; return VANTREL_OK; }); }
//
// A struct the caller passes carries its own size; the library copies at most that many bytes
// in or out, so a caller built against an older header (a shorter struct) is served without
// touching memory beyond its struct.
#pragma once

#include "vantrel/vantrel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace capi {

template <class Body> int guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VANTREL_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VANTREL_ERROR_INTERNAL;
    }
}

// Copies `full` (the library's complete struct) into the caller's struct of `caller_size`
// bytes, keeping its struct_size. False when the caller's struct is shorter than `minimum`.
template <class Struct> bool copy_out(const Struct& full, Struct* caller, size_t minimum) {
    const size_t size = caller->struct_size;
    if (size < minimum) return false;
    Struct copy = full;
    copy.struct_size = caller->struct_size;
    std::memcpy(caller, &copy, std::min(size, sizeof(Struct)));
    return true;
}

// The caller's struct as a complete one: bytes it does not have come from `defaults`.
template <class Struct>
bool copy_in(const Struct* caller, const Struct& defaults, size_t minimum, Struct& full) {
    const size_t size = caller->struct_size;
    if (size < minimum) return false;
    full = defaults;
    std::memcpy(&full, caller, std::min(size, sizeof(Struct)));
    return true;
}

} // namespace capi
