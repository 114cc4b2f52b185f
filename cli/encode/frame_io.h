// What both encoding runs, the single pass (run.cpp) and the spans on several threads
// (parallel_run.cpp), do with one frame: find the scale that brings its samples to 16 bits
// (sbc::to_pcm16 of sbc/rate.h converts them), and append its bytes to the stream. Written once, so
// that the two give the same bytes.
#pragma once

#include "sbc/sbc.h"

#include <cstdint>
#include <cstdio>
#include <span>

namespace cli {

// The factor that brings a stored sample to the 16-bit scale: 256 for 8-bit integers, 1/256 for
// 24-bit, 1/65536 for 32-bit, 32768 for floats whose container defines full scale as ±1.0
// (WAVE, Sun, AIFC), 1 for 16-bit integers (and G.711 codes, which expand to them) and for the
// floats of containers that define no full scale (SPW, the 512-byte header).
double sixteen_bit_scale(int32_t sample_type);

// Bytes that each frame takes in the stream: the encoder's frame, or with `h2_units` (-H) the
// 60-byte H2 unit that carries an mSBC frame.
int32_t stream_frame_bytes(const sbc::EncoderState& encoder, bool h2_units);

// Encodes `pcm` as frame `index` of the stream (numbered from 0) and appends it at out[used],
// bare or, with `h2_units`, in the H2 unit numbered `index` (its sequence byte counts from the
// stream's first frame), advancing `used`. Returns false, with `used` unchanged, when the encoder
// refused the frame or `out` has no room for it.
bool append_frame(sbc::EncoderState& encoder, std::span<const int16_t> pcm, int64_t index,
                  bool h2_units, std::span<uint8_t> out, int32_t& used);

// Writes all of `bytes` straight to the output's descriptor (write_all of files.h: on after a
// partial write, after a signal interrupted it, and after a full non-blocking pipe), so a stop
// signal never cuts a frame. False (errno set) when the output refuses them. The output's own
// stdio buffer is never used, so nothing waits there; a stream without a descriptor (in memory)
// is written through stdio.
bool write_all(std::FILE* output, std::span<const uint8_t> bytes);

} // namespace cli
