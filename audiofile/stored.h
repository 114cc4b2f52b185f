// Inside the library: what the positioned reads (positioned.cpp) need to know of the sample
// encodings, which read.cpp owns.
#pragma once

#include "audiofile/audiofile.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace audiofile {

// How the stored 16-bit integers of a file relate to the host's int16_t.
enum class Words16 { none, native, swapped };

// The stored form of one sample of `info`: its size in bytes (0 for a code without a
// conversion) and, for 16-bit integers, their byte order.
struct StoredLayout {
    std::size_t sample_bytes = 0;
    Words16 words16 = Words16::none;
};
StoredLayout stored_layout(const AudioInfo& info);

// The conversion of audio_read_frames: values.size() stored samples of `bytes` (which holds
// them all) to their values. `info` has a conversion (stored_layout's sample_bytes is not 0).
void decode_stored(const AudioInfo& info, std::span<const std::uint8_t> bytes,
                   std::span<double> values);

} // namespace audiofile
