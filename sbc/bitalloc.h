// Bit allocation: how many bits each band sample of a frame gets, from the frame's scale
// factors and the bitpool, exactly as every SBC decoder recomputes it. See bitalloc.cpp.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>

namespace sbc {

// The bits of a frame of the configured encoder `s` (trusted): one pool per channel in MONO and
// DUAL_CHANNEL, one for both channels in STEREO and JOINT_STEREO, as the two functions below.
void allocate_frame_bits(FrameWorkspace& ws, const EncoderState& s);

// The ways of computing it: the plain steps over a list of entries, or the whole pool in AVX2
// or AVX-512 registers. All give the same bits for every input (any bitpool);
// allocate_frame_bits and the two functions below take the widest the processor has.
enum class AllocationPath : int32_t { plain, avx2, avx512 };
bool allocation_path_available(AllocationPath path);

// allocate_frame_bits on a given path, which must be available.
void allocate_frame_bits_on(AllocationPath path, FrameWorkspace& ws, const EncoderState& s);

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
