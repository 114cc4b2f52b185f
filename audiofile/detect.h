// Container recognition and the helpers the readers share.
//
// detect_format tries the readers in a fixed order and never seeks:
//
//   stream ─► Sun ─► WAVE ─► AIFF/AIFC ─► SPW ─► 512-byte header ─► "filetype not recognized"
//
// recognise_input, what opening a file runs, hands a file that all five refuse to libsndfile
// (foreign.cpp) before it says so:
//
//   ... ─► 512-byte header ─► libsndfile (FLAC, Ogg, MP3, W64, CAF) ─► "filetype not recognized"
//              │ records the first 4 bytes
//              ▼
//        LookAheadBuffer [ bytes taken from the stream so far | ... ]   (80 bytes)
//              ▲ each later reader replays these as the first bytes of the file,
//              │ then reads on from the stream
//
// Each reader returns 0 (mine, `info` filled), its refusal code (not mine: try the next) or its
// error code (mine but unreadable: detection stops and prints the reader's summary line).
#pragma once

#include "audiofile/audiofile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace audiofile {

// Reader results.
inline constexpr int SUN_REFUSED = -13;
inline constexpr int SUN_ERROR = -14;
inline constexpr int WAVE_REFUSED = -11;
inline constexpr int WAVE_ERROR = -12;
inline constexpr int AIFF_REFUSED = -5;
inline constexpr int AIFF_ERROR = -6;
inline constexpr int SPW_REFUSED = -7;
inline constexpr int SPW_ERROR = -8;
inline constexpr int NOT_RECOGNIZED = -9;
inline constexpr int READ_FAILED = -10; // the stream failed (not ended) during recognition

// Recognises the container of `stream` and fills `info`. Returns 0, or the error code of the
// first reader that failed (its summary line printed), or NOT_RECOGNIZED (message printed, see
// report_not_recognized), or READ_FAILED when a read failed ("\nError reading inputfile:
// <system text>\n" printed).
int detect_format(std::FILE* stream, AudioInfo& info);

// detect_format without the message for NOT_RECOGNIZED.
int detect_own_format(std::FILE* stream, AudioInfo& info);

// Recognises the container of the handle's stream as detect_format does and, when the five
// readers refuse it, offers it to libsndfile, which sees the file from its first byte: on a
// regular file by reading where it wants, on any other stream by replaying every byte the
// readers took (recorded as they read, up to 64 KiB) before the rest of the stream. Results as
// detect_format; 0 with file.decoder set for a file that libsndfile decodes.
int recognise_input(AudioFile& file, AudioInfo& info);

// "\nInputfile error: filetype not recognized !\n" and, with `hint`, the line that suggests a
// conversion with ffmpeg (left out where FFmpeg's libraries have already tried the file).
void report_not_recognized(bool hint = true);

// The readers, in detection order. Each takes the stream as detection left it and the caller's
// AudioInfo; see detect_format for the results. Every header read is checked: a stream that ends
// inside a header is refused, or, once the file is known to be the reader's own, an error with a
// message; a channel count below 1 is an error with a message (refused, for 512-byte headers),
// and a count above 2147483647 frames is refused (store_sample_count).
//
//   read_sun_header   records the first 4 bytes (whatever they are), then reads the ".snd"
//                     header. A data size of 0, of less than one frame, 0xFFFFFFFF (the
//                     format's "unknown") or a placeholder (is_placeholder_size) gives no count:
//                     see estimate_sample_count.
//   get_chunk_type    (WAVE) takes "RIFF", "RF64" or "BW64" from the look-ahead record and
//                     reads on, skipping every chunk it does not use. Besides the refused formats
//                     it fails when the input ends before the "data" chunk (a chunk reaching past
//                     the end included) and when "data" comes before any "fmt " chunk. A data
//                     length of 0 (or less than one frame), 0xFFFFFFFF (what streaming tools
//                     write when they cannot seek back; in RF64/BW64 the size of "ds64" instead)
//                     or a placeholder (is_placeholder_size) gives no count.
//   read_aiff_header  takes its first identifier from the record and records every chunk header
//                     it reads; see aiff.cpp for the walk. Fails when "SSND" comes without a
//                     "FORM" of type AIFF/AIFC or without "COMM", and when the stream ends
//                     inside an AIFF/AIFC file before "SSND".
//   read_spw_header   replays the record as the start of its first text line and records the
//                     rest of that line; see spw.cpp. A header without "Signal Type" fails.
//   read_h512_header  replays the record as the start of its 512-byte header; refuses when the
//                     record is not exact (see LookAheadBuffer). See h512.cpp.
// Identifier bytes outside printable ASCII print as '?'.
int read_sun_header(std::FILE* stream, AudioInfo& info);
int get_chunk_type(std::FILE* stream, AudioInfo& info); // WAVE
int read_aiff_header(std::FILE* stream, AudioInfo& info);
int read_spw_header(std::FILE* stream, AudioInfo& info);
int read_h512_header(std::FILE* stream, AudioInfo& info);

// The 80-bit IEEE extended number of an AIFF "COMM" chunk (sign, 15-bit exponent biased by
// 16383, 64-bit mantissa with an explicit integer bit; most significant byte first) as a double.
// An all-zero exponent and mantissa is 0, the exponent 0x7FFF infinity whatever the mantissa;
// the sign applies to both. 40 0E AC 44 00.. gives 44100.0.
double extended_to_double(std::span<const std::uint8_t, 10> bytes);

// The values of a WAVE "fmt " chunk that the WAVE reader uses (all little-endian in the file).
struct WaveFormat {
    std::uint16_t format_tag = 0;         // bytes 0-1
    std::int16_t channels = 0;            // bytes 2-3
    std::uint32_t sampling_frequency = 0; // bytes 4-7 (8-11, bytes per second, are ignored)
    std::uint16_t block_align = 0;        // bytes 12-13: bytes of one sample frame
    std::int16_t bits_per_sample = 0;     // bytes 14-15: the size of a sample's slot
    // The extension of the extensible format (tag 0xFFFE, a chunk of 40 bytes or more), after
    // its 2-byte size (bytes 16-17): valid bits (18-19, at most bits_per_sample), the speaker
    // mask (20-23) and the sub-format GUID (24-39), whose first two bytes hold the
    // format tag it stands for (1 PCM, 3 IEEE float, 6 A-law, 7 µ-law) and whose other 14 the
    // standard suffix.
    bool extended = false; // the extension was read from this chunk
    std::uint16_t valid_bits = 0;
    std::uint32_t channel_mask = 0;
    std::array<std::uint8_t, 16> sub_format{};
};

// The format tag of the extensible format, and the length of a "fmt " chunk that holds its
// extension.
inline constexpr std::uint16_t WAVE_TAG_EXTENSIBLE = 0xFFFE;
inline constexpr std::uint32_t WAVE_EXTENSIBLE_FMT_LENGTH = 40;

// Reads the 16 field bytes of a "fmt " chunk into `format` and forgets any earlier extension.
// The tag is always taken; channels, frequency, block alignment and bits only for PCM (1), IEEE
// float (3), A-law (6), µ-law (7) and the extensible format, otherwise the earlier values stay.
// 0, or -1 when the stream ends first.
int read_wave_fmt(std::FILE* stream, WaveFormat& format);

// Reads the 24 bytes of the extensible format's extension that follow the 16 field bytes (only
// for tag 0xFFFE in a chunk of 40 bytes or more). An extension size below 22 leaves `extended`
// false. 0, or -1 when the stream ends first.
int read_wave_extension(std::FILE* stream, WaveFormat& format);

// The 64-bit sizes of an RF64/BW64 "ds64" chunk (its first 24 bytes), which stand for the
// 32-bit fields that hold 0xFFFFFFFF.
struct Ds64Sizes {
    std::uint64_t riff_size = 0;
    std::uint64_t data_size = 0;
    std::uint64_t sample_count = 0;
};
inline constexpr std::uint32_t DS64_SIZES_LENGTH = 24;

// ---- Look-ahead buffer ----------------------------------------------------------------------
//
// The bytes recognition has taken from the stream, in stream order. It holds at most 80 bytes:
// recordings beyond that are counted in `dropped` but never stored, so `fill` never passes the
// capacity. Bytes a reader takes without recording them (the chunk bodies and chunk fields the
// AIFF/AIFC walk consumes) are counted in `dropped` too. Replay is exact exactly when nothing was
// dropped; a later reader that needs the file's bytes as they were (the 512-byte header) refuses
// the file otherwise.
inline constexpr std::size_t LOOKAHEAD_CAPACITY = 80;

struct LookAheadBuffer {
    std::array<std::uint8_t, LOOKAHEAD_CAPACITY> bytes{};
    std::size_t fill = 0;    // bytes stored; the next recording goes to bytes[fill]
    std::size_t dropped = 0; // bytes taken from the stream after the buffer was full
};

// Empties the process-wide buffer (start of every detection).
void lookahead_reset();
// Records bytes just read from the stream; whatever does not fit is counted as dropped. A reader
// records every byte it takes and does not skip (a text line included), so that the next reader
// replays exactly what was consumed, or can see from `dropped` that it cannot.
void lookahead_record(std::span<const std::uint8_t> data);
// Counts n bytes taken from the stream without recording them: replay is no longer exact.
void lookahead_unrecorded(std::uint64_t n);
// The stored bytes, bytes[0 .. fill).
std::span<const std::uint8_t> lookahead_replay();
// The whole record, for readers that need `dropped` (exact replay means dropped == 0).
const LookAheadBuffer& lookahead();

// ---- Chunk identifiers and chunk walking ----------------------------------------------------

inline constexpr int CHUNK_FORM = 0;
inline constexpr int CHUNK_COMM = 2;
inline constexpr int CHUNK_COMT = 4;
inline constexpr int CHUNK_SSND = 6;
inline constexpr int CHUNK_CSND = 7;
inline constexpr int CHUNK_RIFF = 16;
inline constexpr int CHUNK_WAVE = 17;
inline constexpr int CHUNK_FMT = 18;
inline constexpr int CHUNK_DATA = 19;
inline constexpr int CHUNK_SND = 20;

// Identifiers outside the table that only the WAVE reader knows: the 64-bit forms of "RIFF"
// (EBU's RF64 and BW64, laid out alike) and the chunk that holds their 64-bit sizes.
using ChunkId = std::array<std::uint8_t, 4>;
inline constexpr ChunkId ID_RF64 = {'R', 'F', '6', '4'};
inline constexpr ChunkId ID_BW64 = {'B', 'W', '6', '4'};
inline constexpr ChunkId ID_DS64 = {'d', 's', '6', '4'};
constexpr bool same_id(std::span<const std::uint8_t, 4> id, const ChunkId& known) {
    return id[0] == known[0] && id[1] == known[1] && id[2] == known[2] && id[3] == known[3];
}

// Index 0..24 of the four bytes in the table of known identifiers ("FORM" .. "wave", compared
// exactly, case-sensitively), or -1.
int chunk_id_lookup(std::span<const std::uint8_t, 4> id);

// The four bytes as printable text for a message: bytes outside 0x20..0x7E show as '?'.
std::array<char, 5> printable_id(std::span<const std::uint8_t, 4> id);

// Reads and discards n bytes, then the pad byte when n is odd. Stops quietly at the end of the
// stream (the caller's next read finds it). Never seeks. Returns 0.
int skip_bytes(std::FILE* stream, std::uint32_t n);

// Skips a chunk body of `length` bytes and its pad byte when `length` is odd, reading forward
// (never seeking). False when the input ends first; on a regular file a body that would reach
// past its end is found from the file's size, before anything is read.
bool skip_chunk_body(std::FILE* stream, std::uint32_t length);

// Reads and discards exactly n bytes (no pad byte); false when the stream ended first.
bool discard_bytes(std::FILE* stream, std::uint64_t n);

// Reads exactly bytes.size() bytes; false when the stream ended or failed first.
bool read_exact(std::FILE* stream, std::span<std::uint8_t> bytes);

// As read_exact, and records in the look-ahead buffer every byte it read (all of them when the
// stream ends early, so the record stays exact).
bool read_recorded(std::FILE* stream, std::span<std::uint8_t> bytes);

// A chunk header as read: the identifier, its table index (-1 when not listed) and the four
// length bytes undecoded (WAVE stores them little-endian, AIFF big-endian).
struct ChunkHeader {
    std::array<std::uint8_t, 4> id{};
    std::array<std::uint8_t, 4> length{};
    int index = -1;
};

// Reads the 8 bytes of a chunk header; false when the stream ends first.
bool read_chunk_header(std::FILE* stream, ChunkHeader& header);

// ---- Byte order -----------------------------------------------------------------------------
// The host is little-endian (checked at compile time): little-endian fields are used as read,
// big-endian ones go through the swap helpers.

constexpr std::uint16_t swap16(std::uint16_t v) {
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint32_t swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr std::uint16_t load_le16(std::span<const std::uint8_t, 2> b) {
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
constexpr std::uint16_t load_be16(std::span<const std::uint8_t, 2> b) {
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
constexpr std::uint32_t load_be32(std::span<const std::uint8_t, 4> b) {
    return (static_cast<std::uint32_t>(b[0]) << 24) | (static_cast<std::uint32_t>(b[1]) << 16) |
           (static_cast<std::uint32_t>(b[2]) << 8) | static_cast<std::uint32_t>(b[3]);
}
constexpr std::uint32_t load_le32(std::span<const std::uint8_t, 4> b) {
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
// The big-endian single / double stored in these bytes (most significant byte first).
float swapped_float32(std::span<const std::uint8_t, 4> b);
double swapped_float64(std::span<const std::uint8_t, 8> b);

// ---- What every reader finishes with --------------------------------------------------------

// The defaults every reader but the 512-byte-header one stores: data_blocks, aux_value_1,
// aux_value_2, aux_byte, aux_high = 0; byte_order_marker = -32000; ident_1 = 32149;
// ident_2 = 123456; channel_mask = 0 (a reader that knows the layout sets it afterwards).
void set_reader_defaults(AudioInfo& info);

// The stream position as a data_offset: -1 when the stream cannot tell it (a pipe) or when it
// does not fit 31 bits.
std::int32_t data_offset_of(std::FILE* stream);

// The size of the file behind the stream, when it is a regular file.
std::optional<std::uint64_t> regular_file_size(std::FILE* stream);

// Bytes of one sample frame: `channels` samples of `bits` bits (a whole number of bytes, as for
// every code), in 64-bit arithmetic. 0 when channels < 1.
std::uint64_t frame_bytes_of(std::int32_t channels, int bits);

// Whole sample frames in `data_bytes` bytes of `channels` samples of `bits` bits each (a whole
// number of bytes, as for every code), in 64-bit arithmetic: never wraps. 0 when channels < 1.
std::uint64_t frames_in_bytes(std::uint64_t data_bytes, std::int32_t channels, int bits);

// Stores a frame count from a header as known. A count above 2147483647 is refused: message on
// standard error, result -1 (the reader then returns its error code). Otherwise 0.
int store_sample_count(std::uint64_t frames, AudioInfo& info);

// For a header that gives no count: on a regular file, the whole frames (of the real sample
// size) between the stream position and the end of the file, stored as known; on any other
// stream (a pipe) num_samples = 0, marked unknown. -1 as store_sample_count, or when `channels`
// is below 1 (message printed); otherwise 0.
int estimate_sample_count(std::FILE* stream, std::int32_t channels, int bits, AudioInfo& info);

// The header fields that give the length of the sample data.
enum class SizeField {
    wave_data_length, // bytes, from the "data" chunk header
    sun_data_size,    // bytes, header word 2
    aiff_frame_count, // sample frames, from "COMM"
};

// Streaming writers that cannot seek back to fill in the real size leave a placeholder in the
// header. These are theirs, as they write them to a pipe (frame = bytes of one sample frame):
//
//   field              placeholder                                      written by
//   WAVE data length   0x7FFFF000 less its remainder in whole frames    sox
//                      0x80000000                                        arecord
//   Sun data size      0xFFFFFFFE                                        arecord
//   AIFF frame count   0x7F000000 ÷ frame, rounded down                  sox (AIFF and AIFC)
//
// (ffmpeg writes 0xFFFFFFFF in WAVE and Sun headers and 0 frames in AIFF, which mean "no size"
// on every stream.) True when `value` is the placeholder of `field` and `stream` is not a regular
// file: read from a pipe, FIFO, socket or terminal it says "length unknown". On a regular file
// every size is taken at its word, as a real size: false.
bool is_placeholder_size(std::FILE* stream, SizeField field, std::uint32_t value,
                         std::uint64_t frame_bytes);

// num_samples from the byte size of the sample data that a header gives in `field` (a WAVE or
// Sun data size; info.channels and info.sample_type already set). A size of 0, of less than one
// frame, 0xFFFFFFFF (the value streaming writers leave when they cannot seek back) or a
// placeholder (is_placeholder_size) gives no count: estimate_sample_count then decides. Results
// as store_sample_count.
int count_from_data_size(std::FILE* stream, SizeField field, std::uint32_t data_size,
                         AudioInfo& info);

// num_samples from a byte size known to be real (RF64's 64-bit data size): whole frames as
// store_sample_count stores them; fewer than one frame (0 included) gives no count, as above.
int count_from_data_bytes(std::FILE* stream, std::uint64_t data_bytes, AudioInfo& info);

} // namespace audiofile
