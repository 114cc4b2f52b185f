// Frame packing: lays one SBC frame out in bytes and computes its CRC-8. See pack.cpp.
#pragma once

#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <span>

namespace sbc {

// The bit-stream write position: the byte being filled (from the frame's first byte) and the
// next bit to fill in it, 7 (most significant) down to 0.
struct BitPosition {
    int32_t byte_index = HEADER_BYTES;
    int32_t bit_index = 7;
};

// Appends the low `count` bits of `value` (at most 32), most significant first, at `pos` in
// `frame` and advances `pos`. The first bit written into a byte replaces that byte, so the
// buffer needs no clearing. Bits that would fall outside `frame` are not written.
void put_bits(uint32_t value, std::span<uint8_t> frame, int32_t count, BitPosition& pos);

// The frame of a configured encoder `s` (sync_byte, header_byte, bitpool_byte, channels,
// channel_mode, subbands, blk_len) into `frame`, which is exactly the frame's length; returns that
// length. Trusts its arguments: bits of 0..16 whose total fits `frame`, values that fit their bits
// (higher bits are dropped). encoder_encode_frame calls it; pack_frame checks first.
int32_t write_frame(std::span<uint8_t> frame, const EncoderState& s, const SubbandRow& join,
                    const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                    const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                    const std::array<SubbandRow, MAX_CHANNELS>& bits);

// The ways of writing a frame's samples: one band at a time, or in AVX2 or AVX-512 lanes. All
// give the same bytes; write_frame takes the widest the processor has.
enum class PackPath : int32_t { scalar, avx2, avx512 };
bool pack_path_available(PackPath path);

// write_frame on a given path, which must be available.
int32_t write_frame_on(PackPath path, std::span<uint8_t> frame, const EncoderState& s,
                       const SubbandRow& join,
                       const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                       const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                       const std::array<SubbandRow, MAX_CHANNELS>& bits);

// True when quantize_and_write_frame can run here (it needs PackPath::avx512).
bool quantizing_pack_available();

// The frame that quantize_frame followed by write_frame would give, quantising ws.sb_sample
// (with ws.scale_factor and ws.bits) while packing, so that ws.quantized is neither written nor
// read. Trusts its arguments like write_frame, and the samples to be finite and within their
// scale (|x| <= 2^(scale factor + 1)), as the scale-factor stage leaves them: it skips the
// clamp that quantize_frame applies to others. Only when quantizing_pack_available().
int32_t quantize_and_write_frame(std::span<uint8_t> frame, const EncoderState& s,
                                 const FrameWorkspace& ws);

// Writes one frame at out[out_len]: sync word, header_byte, low 8 bits of bitpool, CRC-8,
// join flags (channel_mode JOINT_STEREO only), scale factors, samples (block, channel,
// band order; bands with 0 bits skipped), zero padding. Adds the frame length to out_len and
// returns it. Returns -1 and writes nothing when channels is not 1 or 2, the shape is refused,
// a bit count is outside 0..16, or `out` has no room for the frame at out_len.
int32_t pack_frame(std::span<uint8_t> out, int32_t& out_len, const SubbandRow& join,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<QuantizedRow, MAX_CHANNELS>& quantized, uint8_t header_byte,
                   int32_t bitpool, int32_t channels, int32_t channel_mode, int32_t subbands,
                   int32_t blk_len, const std::array<SubbandRow, MAX_CHANNELS>& bits);

} // namespace sbc
