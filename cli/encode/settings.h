// The settings of one encoding run, as the command line leaves them.
#pragma once

#include "audiofile/audiofile.h"

#include <cstdio>
#include <memory>

namespace cli {

struct Settings {
    int channel_mode = 1;        // 1 DUAL_CHANNEL; -s gives 2 STEREO, -j gives 3 JOINT_STEREO
    int blk_len = 16;            // blocks per frame (-l)
    int subbands = 8;            // -n
    int allocation_method = 1;   // 1 SNR; -p gives 0 LOUDNESS
    int bit_rate = 375000;       // requested bits per second (-r)
    bool bit_rate_given = false; // -r was given: a bitpool the frame cannot carry is refused
    bool verbose = false;        // -v
    bool msbc = false;           // -m: mSBC frames (16000 Hz mono; every parameter fixed)
    bool h2 = false;             // -H: each mSBC frame in a 60-byte H2 unit
    int threads = 0;             // -T: 0 one per processor, 1 a single pass (pipes always)
    int frequency = 0;           // -F: the sampling frequency to resample to; 0 the input's own
};

// Encodes `input_name` into `output` (which it closes) and returns the exit status.
int run_encoding(const Settings& settings, std::FILE* output, const char* input_name);

// The same run on an input that is already open (`info` is the description it was opened
// with); a null `input` is a failed open. Closes both and returns the exit status.
int encode_input(const Settings& settings, std::FILE* output,
                 std::unique_ptr<audiofile::AudioFile> input, audiofile::AudioInfo& info);

} // namespace cli
