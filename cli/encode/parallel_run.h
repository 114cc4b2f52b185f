// Encoding a regular file on several threads, with exactly the bytes of the single pass.
//
// The frames are cut into spans; each worker thread takes the next span, reads its samples (and
// those of the few frames before it that prime the filter history) at their place in the file,
// and encodes them with an encoder of its own. The main thread writes the spans in order.
#pragma once

#include "audiofile/audiofile.h"
#include "sbc/sbc.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace cli {

// The most encoding threads a run uses, whatever -T asks: more would not read the file faster,
// and every thread holds buffers of its own.
inline constexpr int MAX_THREADS = 16;

// Threads for -T `requested`: `requested` itself, or for 0 one per processor that this process
// may run on; always within 1..MAX_THREADS.
int thread_count(int requested);

// Frames in one span, for stored frames of `input_frame_bytes` and stream frames of
// `output_frame_bytes`: as many as keep both within 128 KiB, and at least one.
int64_t span_frames(size_t input_frame_bytes, size_t output_frame_bytes);

struct ParallelJob {
    int threads = 0;                  // as -T gives it: 0 one per processor, 1 no threads
    audiofile::AudioFile& input;      // open, nothing read from it yet
    const sbc::EncoderState& encoder; // configured; each thread codes with a copy of it
    std::FILE* output = nullptr;      // receives the frames
    int64_t frames = 0;               // whole frames the input holds by its header; -1 unknown
    bool h2_units = false;            // -H: each mSBC frame in its H2 unit
};

// Encodes the job's frames on several threads where that pays: more than one thread asked for,
// the input a regular file (audio_positioned) of a known length, and at least two spans of it.
// Returns
//   nothing  not done (nothing was read or written): the single pass is to run instead;
//   true     every frame written, or the data ended before the count its header promised (the
//            frames it holds written, and "The input data ended early ..." said, as the single
//            pass says it);
//   false    a read, write or encoding failure, after the single pass's message for it; the
//            frames before the failure are written whole, none after it.
// After a stop signal (stop_requested) no span is started, and the spans under way are written
// if they are done within half a second; otherwise the stream ends with the spans written by
// then, whole, and when a worker is still busy (a read that does not return) the process ends
// here by the signal (end_by_stop_signal) instead of returning.
std::optional<bool> encode_in_parallel(const ParallelJob& job);

} // namespace cli
