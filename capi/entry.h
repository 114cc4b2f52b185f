// What every entry point of the C interface shares: the catch-all that keeps C++ exceptions
// inside the library, the struct_size rule for structs that may grow, and the configuration
// check both the encoder and vantrel_config_check run.
//
//   extern "C" int vantrel_x(...) { return guarded([&]() -> int { ...checks...; return VANTREL_OK;
//   }); }
//
// A struct the caller passes carries its own size; the library copies at most that many bytes
// in or out, so a caller built against an older header (a shorter struct) is served without
// touching memory beyond its struct.
#pragma once

#include "sbc/sbc.h"
#include "sbc/scan.h"
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

// The smallest struct_size each struct accepts: its size in the first version of the header.
inline constexpr uint32_t config_size_v1 = sizeof(vantrel_config);
inline constexpr uint32_t stream_info_size_v1 = sizeof(vantrel_stream_info);
inline constexpr uint32_t report_size_v1 = sizeof(vantrel_stream_report);
inline constexpr uint32_t decoder_config_size_v1 = sizeof(vantrel_decoder_config);

// Copies `full` (the library's complete struct) into the caller's struct, at most its
// struct_size bytes, keeping its struct_size. False when that size is below `minimum`.
template <class Struct> bool copy_out(const Struct& full, Struct* caller, uint32_t minimum) {
    const uint32_t size = caller->struct_size;
    if (size < minimum) return false;
    Struct copy = full;
    copy.struct_size = size;
    std::memcpy(caller, &copy, std::min<size_t>(size, sizeof(Struct)));
    return true;
}

// The caller's struct as a complete one: fields it does not have come from `full`'s defaults.
template <class Struct> bool copy_in(const Struct* caller, uint32_t minimum, Struct& full) {
    const uint32_t size = caller->struct_size;
    if (size < minimum) return false;
    std::memcpy(&full, caller, std::min<size_t>(size, sizeof(Struct)));
    return true;
}

// A configuration checked and settled: the channel mode the frames carry and their bitpool.
struct Settled {
    vantrel_config config{}; // complete, with channel_mode and bitpool settled
};

// Checks `config` (the caller's, of its struct_size) and settles it; VANTREL_OK or the status
// of the first thing refused.
int settle(const vantrel_config* config, Settled& settled);

// VANTREL_KIND_* of a stream kind.
int32_t kind_code(sbc::StreamKind kind);

// The frame's header in the C interface's terms.
vantrel_frame_info frame_info(const sbc::FrameHeader& header);

} // namespace capi
