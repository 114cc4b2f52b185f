// Bit allocation: how many bits each band sample of a frame gets, from the frame's scale
// factors and the bitpool, exactly as every SBC decoder recomputes it. See bitalloc.cpp.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>

namespace sbc {

// What bit allocation needs to know of a frame; both directions fill it, the encoder from its
// configuration, the decoder from the frame's header. Trusted: subbands 4 or 8,
// frequency_index 0..3, channels 1 or 2 (2 for STEREO and JOINT_STEREO), and a bitpool within
// 0 .. 16 × subbands per pool (frame_header_parse and encoder_configure refuse any other).
struct AllocationParams {
    int32_t channel_mode = MONO;
    int32_t channels = 1;
    int32_t subbands = 8;
    int32_t bitpool = 0;
    int32_t allocation_method = LOUDNESS; // any other value is SNR
    int32_t frequency_index = 0;
};

// The parameters of a configured encoder's frames, and of a frame read by frame_header_parse.
inline AllocationParams allocation_params(const EncoderState& s) {
    return {s.channel_mode, s.channels,          s.subbands,
            s.bitpool,      s.allocation_method, s.frequency_index};
}
inline AllocationParams allocation_params(const FrameHeader& h) {
    return {h.channel_mode, h.channels,          h.subbands,
            h.bitpool,      h.allocation_method, h.frequency_index};
}

// The bits of one frame from its transmitted scale factors (0..15; JOINT_STEREO: the mid/side
// values of joined bands): one pool per channel in MONO and DUAL_CHANNEL, one for both
// channels in STEREO and JOINT_STEREO, as the two functions below. Rows beyond `channels` and
// entries beyond `subbands` are neither read nor written. The encoder and the decoder both
// call this, so a stream's writer and its reader can never disagree.
void allocate_frame_bits(const AllocationParams& params,
                         const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                         std::array<SubbandRow, MAX_CHANNELS>& bits);

// The ways of computing it: the plain steps over a list of entries, or the whole pool in AVX2
// or AVX-512 registers. All give the same bits for every input (any bitpool);
// allocate_frame_bits and the two functions below take the widest the processor has.
enum class AllocationPath : int32_t { plain, avx2, avx512 };
bool allocation_path_available(AllocationPath path);

// allocate_frame_bits on a given path, which must be available.
void allocate_frame_bits_on(AllocationPath path, const AllocationParams& params,
                            const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                            std::array<SubbandRow, MAX_CHANNELS>& bits);

// MONO and DUAL_CHANNEL: spends `bitpool` bits on one channel's `subbands` bands and writes
// its `bits` (0..16 each). For 0 <= bitpool <= 16 × subbands the bits add up to exactly
// bitpool; a negative bitpool gives all zeros; a larger one stops once every band holds 16.
// allocation_method 0 is LOUDNESS, any other value SNR.
// Returns 0, or -1 (nothing written) for subbands other than 4 or 8, a frequency_index outside
// 0..3 or a scale factor outside 0..15.
int allocate_bits_one_channel(int32_t subbands, const SubbandRow& scale_factor, int32_t bitpool,
                              SubbandRow& bits, int32_t allocation_method, int32_t frequency_index);

// STEREO and JOINT_STEREO: the same over both channels as one pool of 2 × subbands entries
// (exact for 0 <= bitpool <= 32 × subbands); leftover bits go to the entries in the order
// (ch 0, sb 0), (ch 1, sb 0), (ch 0, sb 1), ...  Returns as allocate_bits_one_channel.
int allocate_bits_two_channels(int32_t subbands,
                               const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                               int32_t bitpool, std::array<SubbandRow, MAX_CHANNELS>& bits,
                               int32_t allocation_method, int32_t frequency_index);

} // namespace sbc
