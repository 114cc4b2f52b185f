// Helpers of the decoder's tests, written apart from the library:
//
// - build_frame: a frame of chosen fields, bit by bit, with its own CRC-8 (the bit allocation
//   is the library's, which the encoder's tests hold to the worked examples);
// - random_frame: random fields of a given shape, or of every band at full scale;
// - exact_decode: the synthesis as the direct sum x[n] = Σ_t Σ_k S_t[k] g_k[n − tM],
//   g_k[r] = −M h[r] cos((k + ½)(r + M/2) π / M), in long double from the prototype h, of band
//   samples reconstructed in long double from the fields unpack_frame reads;
// - compare: how far decoded samples lie from the exact values.
#pragma once

#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace dectest {

// The fields of one frame. header.length is filled in by build_frame.
struct FrameFields {
    sbc::FrameHeader header;
    sbc::SubbandRow join{};
    std::array<sbc::SubbandRow, sbc::MAX_CHANNELS> scale_factor{};
    std::array<sbc::QuantizedRow, sbc::MAX_CHANNELS> quantized{}; // cut to each band's bits
};

// The header of an SBC frame with these parameters (length included), or of an mSBC frame.
sbc::FrameHeader sbc_header(int32_t frequency_index, int32_t blocks, int32_t channel_mode,
                            int32_t allocation_method, int32_t subbands, int32_t bitpool);
sbc::FrameHeader msbc_header();

// The frame's bytes: header, CRC, join flags, scale factors, samples by the allocation, zero
// padding to fields.header.length.
std::string build_frame(const FrameFields& fields);

// Random join flags, scale factors (0..max_scale_factor) and samples for `header`. Loud:
// every scale factor 15 and every sample at one end of its range (the largest band samples a
// frame can carry, far beyond what a 16-bit signal gives).
FrameFields random_frame(const sbc::FrameHeader& header, std::mt19937& rng, bool loud = false,
                       int32_t max_scale_factor = 15);

// Interleaved exact output of a stream of CRC-correct frames of one shape (subbands and
// channels); empty, with a test failure, when a frame does not parse.
std::vector<long double> exact_decode(const std::string& stream);

// The library's decoder over a whole stream (a failure for any refused or damaged frame).
std::vector<int16_t> decode_stream(const std::string& stream);

// Decoded samples against exact ones clamped to the 16-bit range.
struct Deviation {
    double max_abs = 0;  // largest |decoded − exact|, wraps left out
    double rms = 0;      // over all samples, wraps left out
    double equal = 0;    // fraction equal to the exact value rounded (half away from zero)
    int64_t wraps = 0;   // samples of the opposite sign to a clamped exact value past ±16384
    int64_t samples = 0; // compared
};
Deviation compare(const std::vector<int16_t>& decoded, const std::vector<long double>& exact);

// The exact value as a 16-bit sample: rounded half away from zero, saturated.
int16_t rounded(long double exact);

// Stream signals, interleaved 16-bit: tones, a chirp and noise at about −6 dBFS per channel;
// a full-scale square wave (the loudest a 16-bit input can be).
std::vector<int16_t> music(int32_t channels, int32_t rate, int32_t instants);
std::vector<int16_t> square(int32_t channels, int32_t instants, int32_t half_period);

} // namespace dectest
