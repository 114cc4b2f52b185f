// Where decoded audio goes: a file or standard output, in one of the audio file library's
// containers or headerless.
//
//   open_output ─► start_output (first frame: header) ─► write_samples ... ─► finish_output
//                                                        flush_output (before a wait for input)
//
//   type   container          16-bit samples           -f samples
//   wav    WAVE               PCM, little-endian       32-bit float, full scale ±1.0
//   au     Sun audio          PCM, big-endian          32-bit float, full scale ±1.0
//   aiff   AIFF               PCM, big-endian          (none: refused, use aifc)
//   aifc   AIFC               PCM "NONE", big-endian   "fl32", full scale ±1.0
//   spw    SPW signal file    Fixedpoint <16,15,t>     Double, on the 16-bit scale (one channel)
//   h512   512-byte header    PCM, little-endian       32-bit float, on the 16-bit scale
//   raw    no header          PCM, little-endian       32-bit float, little-endian, ±1.0
//
// Headers come from the library's writers. An output that can seek (a regular file not opened
// for appending) gets a header of unknown length first and its exact sizes at the end; any
// other output (a pipe, a terminal, a device) keeps the header of unknown length, which this
// library, sox and ffmpeg read to the end of the data. A regular file is written in large
// blocks; any other output is flushed before each wait for input, so that audio leaves as soon
// as its frame has arrived. Only whole sample instants are ever written.
#pragma once

#include "audiofile/audiofile.h"
#include "cli/common/input.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cli {

enum class Container { wav, au, aiff, aifc, spw, h512, raw };

// The container a -t word names, or none.
std::optional<Container> container_of_type(std::string_view type);
// The container an output file name's suffix names (.wav, .au, .snd, .aiff, .aif, .aifc, .spw,
// .h512, .raw, .pcm; any case), or none.
std::optional<Container> container_of_suffix(std::string_view name);
// The -t words, for messages: "wav, au, aiff, aifc, spw, h512, raw".
const char* container_types();

// Why `container` cannot take these samples (a text for a message), or null when it can.
const char* samples_problem(Container container, bool float_samples, int32_t channels);

inline constexpr size_t OUTPUT_BLOCK_BYTES = 131072;

struct PcmOutput {
    int fd = -1;
    std::string name; // for messages
    bool owned = false;
    bool regular = false;  // a regular file: written in large blocks, not flushed per read
    bool seekable = false; // the header can be rewritten at header_at
    int64_t header_at = 0;
    Container container = Container::wav;
    bool float_samples = false;

    bool started = false; // the header is written; `info` describes the audio
    audiofile::AudioInfo info{};
    int64_t header_length = 0;
    int64_t instants = 0; // sample instants written (or held in the block)
    bool failed = false;  // a write failed (and was reported); nothing more is written

    std::unique_ptr<std::array<uint8_t, OUTPUT_BLOCK_BYTES>> block;
    size_t used = 0;
};

// Opens `name` (null, "-" or "AUDIO_TO_STDOUT": standard output) without emptying it yet; it is
// emptied only when it is not the input, which is refused and left untouched. false after a
// message.
bool open_output(const char* name, const Input& input, Container container, bool float_samples,
                 PcmOutput& output);

// open_output for a descriptor the caller opened (closed by finish_output unless it is standard
// output); `name` is for messages.
bool adopt_output(int fd, const char* name, const Input& input, Container container,
                  bool float_samples, PcmOutput& output);

// Writes the header for audio of `first`'s frequency and channel count. false after a message.
bool start_output(PcmOutput& output, const sbc::FrameHeader& first);

// Appends interleaved samples (whole instants of output.info.channels), as 16-bit values or as
// floats of full scale ±1.0. false (after a message, once) when writing failed.
bool write_samples(PcmOutput& output, std::span<const int16_t> samples);
bool write_samples(PcmOutput& output, std::span<const float> samples);

// Writes what the block holds. false when writing failed.
bool flush_output(PcmOutput& output);

// Flushes, gives a seekable output its exact sizes, and closes what open_output opened. false
// after a message when any of it failed.
bool finish_output(PcmOutput& output);

} // namespace cli
