// Quantiser: each band sample becomes an unsigned integer of as many bits as bit allocation
// granted its band, relative to the band's scale. See quantize.cpp.
#pragma once

#include "sbc/sbc.h"

#include <cstdint>

namespace sbc {

// Quantises every channel of a frame of the configured encoder `s` (trusted; see below for the
// value rules).
void quantize_frame(FrameWorkspace& ws, const EncoderState& s);

// The ways of quantising: the plain loop (which the compiler vectorises for the widest vectors
// the processor has), or AVX-512 lanes written by hand. Both give the same values;
// quantize_frame and quantize_channel take the widest available.
enum class QuantizePath : int32_t { plain, avx512 };
bool quantize_path_available(QuantizePath path);

// quantize_frame on a given path, which must be available.
void quantize_frame_on(QuantizePath path, FrameWorkspace& ws, const EncoderState& s);

// Inside the library: the AVX-512 path of one channel (quantize_avx512.cpp), arguments as
// quantize_channel's and trusted.
void quantize_rows_avx512(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                          QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                          int32_t subbands);

// Writes blk_len × subbands values of `quantized` (block-major):
//   quantized = trunc((x / 2^(scale_factor + 1) + 1) × (2^bits − 1) × 0.5)
// Each lies in 0 .. 2^bits − 1 when |x| is within its scale; bands with 0 bits give 0.
// Returns 0, or -1 (nothing written) for a refused shape, a scale factor outside 0..15 or a
// bit count outside 0..16.
int quantize_channel(const SampleRow& sb_sample, const SubbandRow& scale_factor,
                     QuantizedRow& quantized, const SubbandRow& bits, int32_t blk_len,
                     int32_t subbands);

} // namespace sbc
