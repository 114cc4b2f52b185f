// Container recognition: the reader order, the look-ahead record and the shared helpers.
//
// Recognition reads the stream strictly forward. The first reader (Sun) takes 4 bytes and records
// them; a reader that refuses the file leaves everything it took in the look-ahead record, and
// the next one replays those bytes before it reads on:
//
//   file:       R I F F | l l l l | W A V E | f m t  ...
//   Sun:        ^^^^^^^ read + recorded, not ".snd" -> refused
//   WAVE:       replayed  ^ reads on from here
//
// Invariants: the record never holds more than its 80 bytes (more is counted as dropped, never
// written); every chunk-length computation is 64-bit; every read is checked.
#include "audiofile/detect.h"

#include "audiofile/ffmpeg.h"

#include "audiofile/foreign.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace audiofile {

static_assert(std::endian::native == std::endian::little,
              "the byte-order helpers assume a little-endian host");

namespace {

LookAheadBuffer lookahead_buffer;

// Detection prints these after a reader's own message.
constexpr const char* sun_error_message = "\nError reading SUN audio file";
constexpr const char* wave_error_message = "\nError reading WAVE file";
constexpr const char* aiff_error_message = "\nError reading AIFF/AIFC file";
constexpr const char* spw_error_message = "\nError reading SPW file";
constexpr const char* not_recognized_message = "\nInputfile error: filetype not recognized !\n";
constexpr const char* conversion_hint =
    "convert it first, for example: ffmpeg -i in -fflags +bitexact out.wav\n";

constexpr std::array<std::array<char, 4>, 25> chunk_ids = {{
    {'F', 'O', 'R', 'M'}, {'F', 'V', 'E', 'R'}, {'C', 'O', 'M', 'M'}, {'S', 'A', 'X', 'L'},
    {'C', 'O', 'M', 'T'}, {'M', 'A', 'R', 'K'}, {'S', 'S', 'N', 'D'}, {'C', 'S', 'N', 'D'},
    {'N', 'A', 'M', 'E'}, {'A', 'U', 'T', 'H'}, {'(', 'c', ')', ' '}, {'A', 'N', 'N', 'O'},
    {'I', 'N', 'S', 'T'}, {'M', 'I', 'D', 'I'}, {'A', 'E', 'S', 'D'}, {'A', 'P', 'P', 'L'},
    {'R', 'I', 'F', 'F'}, {'W', 'A', 'V', 'E'}, {'f', 'm', 't', ' '}, {'d', 'a', 't', 'a'},
    {'.', 's', 'n', 'd'}, {'f', 'a', 'c', 't'}, {'c', 'u', 'e', ' '}, {'p', 'l', 's', 't'},
    {'w', 'a', 'v', 'e'},
}};

// Defaults stored by every reader except the 512-byte-header one.
constexpr std::int32_t default_ident_1 = 32149;
constexpr std::int32_t default_ident_2 = 123456;

constexpr std::uint64_t largest_count = INT32_MAX;

// A read that failed is not the end of the file: detection stops at once and says what the
// system said, instead of letting the later readers refuse what they could not read.
bool read_failed(std::FILE* stream) {
    if (!std::ferror(stream)) return false;
    const int error = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "\nError reading inputfile: %s\n", std::strerror(error));
    return true;
}

// True when detection is over: the reader accepted the file (result 0 is passed on) or failed
// with its error code (summary printed). A refusal goes on to the next reader.
bool detection_ends(int result, int refused, int error, const char* message) {
    if (result == refused) return false;
    if (result == error) std::fputs(message, stderr);
    return true;
}

} // namespace

int detect_format(std::FILE* stream, AudioInfo& info) {
    const int result = detect_own_format(stream, info);
    if (result == NOT_RECOGNIZED) report_not_recognized();
    return result;
}

void report_not_recognized(bool hint) {
    std::fputs(not_recognized_message, stderr);
    if (hint) std::fputs(conversion_hint, stderr);
}

int detect_own_format(std::FILE* stream, AudioInfo& info) {
    lookahead_reset();
    errno = 0;
    int result = read_sun_header(stream, info);
    if (read_failed(stream)) return READ_FAILED;
    if (detection_ends(result, SUN_REFUSED, SUN_ERROR, sun_error_message))
        return result == SUN_ERROR ? result : 0;
    result = get_chunk_type(stream, info);
    if (read_failed(stream)) return READ_FAILED;
    if (detection_ends(result, WAVE_REFUSED, WAVE_ERROR, wave_error_message))
        return result == WAVE_ERROR ? result : 0;
    result = read_aiff_header(stream, info);
    if (read_failed(stream)) return READ_FAILED;
    if (detection_ends(result, AIFF_REFUSED, AIFF_ERROR, aiff_error_message))
        return result == AIFF_ERROR ? result : 0;
    result = read_spw_header(stream, info);
    if (read_failed(stream)) return READ_FAILED;
    if (detection_ends(result, SPW_REFUSED, SPW_ERROR, spw_error_message))
        return result == SPW_ERROR ? result : 0;
    result = read_h512_header(stream, info);
    if (read_failed(stream)) return READ_FAILED;
    return result;
}

// ---- Recording what recognition takes, for libsndfile ---------------------------------------
//
// A stream that cannot seek back is read by the readers through a recording stream: an
// unbuffered stream whose reads are the source's own reads of the same sizes, so that it never
// takes a byte more than the readers asked for, and whose every byte is kept (up to the limit).
// Recognition sees the same bytes, ends and failures as on the source itself.

namespace {

constexpr std::size_t recording_limit = 65536;

struct Recording {
    std::FILE* source = nullptr;
    std::vector<std::uint8_t> bytes;
    bool overflowed = false;
};

ssize_t read_recorded_stream(void* cookie, char* to, std::size_t size) {
    auto& r = *static_cast<Recording*>(cookie);
    const std::size_t got = std::fread(to, 1, size, r.source);
    if (got == 0 && std::ferror(r.source)) return -1; // errno is the failed read's
    const std::size_t kept = r.overflowed ? 0 : std::min(got, recording_limit - r.bytes.size());
    r.bytes.insert(r.bytes.end(), to, to + kept);
    r.overflowed = r.overflowed || kept < got;
    return static_cast<ssize_t>(got);
}

// detect_own_format on a stream that cannot seek back, keeping what the readers took.
int detect_recorded(std::FILE* stream, AudioInfo& info, Recording& recording) {
    recording.source = stream;
    recording.bytes.reserve(recording_limit);
    const cookie_io_functions_t functions{read_recorded_stream, nullptr, nullptr, nullptr};
    std::FILE* recorder = fopencookie(&recording, "rb", functions);
    if (recorder == nullptr || std::setvbuf(recorder, nullptr, _IONBF, 0) != 0) {
        if (recorder != nullptr) std::fclose(recorder);
        recording.overflowed = true; // nothing recorded: no replay possible
        return detect_own_format(stream, info);
    }
    const int result = detect_own_format(recorder, info);
    std::fclose(recorder);
    return result;
}

} // namespace

int recognise_input(AudioFile& file, AudioInfo& info) {
    std::FILE* stream = file.stream.get();
    ForeignInput input;
    int result = 0;
    if (regular_file_size(stream)) {
        input.start = std::max<std::int64_t>(ftello(stream), 0);
        result = detect_own_format(stream, info);
    } else {
        Recording recording;
        try {
            result = detect_recorded(stream, info, recording);
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
            std::perror("\nError reading inputfile");
            return READ_FAILED;
        }
        if (result == NOT_RECOGNIZED && recording.overflowed) {
            report_not_recognized();
            return result;
        }
        input.consumed = std::move(recording.bytes);
    }
    if (result != NOT_RECOGNIZED) return result;
    result = foreign_open(file, info, std::move(input));
    // Where FFmpeg's libraries have tried and failed, so would ffmpeg: no hint to convert.
    if (result == NOT_RECOGNIZED) report_not_recognized(ffmpeg_module() == nullptr);
    return result;
}

// ---- Look-ahead buffer ----------------------------------------------------------------------

void lookahead_reset() {
    lookahead_buffer = LookAheadBuffer{};
}

void lookahead_record(std::span<const std::uint8_t> data) {
    LookAheadBuffer& la = lookahead_buffer;
    const std::size_t room = la.bytes.size() - la.fill;
    const std::size_t stored = std::min(room, data.size());
    std::copy_n(data.begin(), stored, la.bytes.begin() + static_cast<std::ptrdiff_t>(la.fill));
    la.fill += stored;
    la.dropped += data.size() - stored;
}

void lookahead_unrecorded(std::uint64_t n) {
    std::size_t& dropped = lookahead_buffer.dropped;
    dropped = n > SIZE_MAX - dropped ? SIZE_MAX : dropped + static_cast<std::size_t>(n);
}

std::span<const std::uint8_t> lookahead_replay() {
    return std::span<const std::uint8_t>(lookahead_buffer.bytes).first(lookahead_buffer.fill);
}

const LookAheadBuffer& lookahead() {
    return lookahead_buffer;
}

// ---- Chunk identifiers and chunk walking ----------------------------------------------------

int chunk_id_lookup(std::span<const std::uint8_t, 4> id) {
    for (std::size_t i = 0; i < chunk_ids.size(); ++i) {
        if (std::memcmp(chunk_ids[i].data(), id.data(), id.size()) == 0) return static_cast<int>(i);
    }
    return -1;
}

std::array<char, 5> printable_id(std::span<const std::uint8_t, 4> id) {
    std::array<char, 5> text{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool printable = id[i] >= 0x20 && id[i] <= 0x7E;
        text[i] = printable ? static_cast<char>(id[i]) : '?';
    }
    return text;
}

bool discard_bytes(std::FILE* stream, std::uint64_t n) {
    std::array<std::uint8_t, 4096> scratch{};
    while (n > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(n, scratch.size()));
        const std::size_t got = std::fread(scratch.data(), 1, want, stream);
        n -= got;
        if (got < want) return false;
    }
    return true;
}

int skip_bytes(std::FILE* stream, std::uint32_t n) {
    discard_bytes(stream, std::uint64_t{n} + (n & 1u));
    return 0;
}

bool skip_chunk_body(std::FILE* stream, std::uint32_t length) {
    const std::uint64_t n = std::uint64_t{length} + (length & 1u);
    if (const std::optional<std::uint64_t> size = regular_file_size(stream)) {
        const off_t position = ftello(stream);
        if (position >= 0 && n > *size - std::min(*size, static_cast<std::uint64_t>(position)))
            return false;
    }
    return discard_bytes(stream, n);
}

bool read_exact(std::FILE* stream, std::span<std::uint8_t> bytes) {
    if (bytes.empty()) return true;
    return std::fread(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

bool read_recorded(std::FILE* stream, std::span<std::uint8_t> bytes) {
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), stream);
    lookahead_record(bytes.first(got));
    return got == bytes.size();
}

bool read_chunk_header(std::FILE* stream, ChunkHeader& header) {
    if (!read_exact(stream, header.id) || !read_exact(stream, header.length)) return false;
    header.index = chunk_id_lookup(header.id);
    return true;
}

// ---- Byte order -----------------------------------------------------------------------------

float swapped_float32(std::span<const std::uint8_t, 4> b) {
    const std::array<std::uint8_t, 4> reversed = {b[3], b[2], b[1], b[0]};
    return std::bit_cast<float>(reversed);
}

double swapped_float64(std::span<const std::uint8_t, 8> b) {
    std::array<std::uint8_t, 8> reversed{};
    std::reverse_copy(b.begin(), b.end(), reversed.begin());
    return std::bit_cast<double>(reversed);
}

// ---- What every reader finishes with --------------------------------------------------------

void set_reader_defaults(AudioInfo& info) {
    info.data_blocks = 0;
    info.aux_value_1 = 0;
    info.aux_value_2 = 0;
    info.aux_byte = 0;
    info.aux_high = 0;
    info.byte_order_marker = NATIVE_BYTE_ORDER_MARKER;
    info.ident_1 = default_ident_1;
    info.ident_2 = default_ident_2;
    info.channel_mask = 0;
}

std::int32_t data_offset_of(std::FILE* stream) {
    const off_t position = ftello(stream);
    if (position < 0 || position > INT32_MAX) return -1;
    return static_cast<std::int32_t>(position);
}

std::optional<std::uint64_t> regular_file_size(std::FILE* stream) {
    struct stat status {};
    const int fd = fileno(stream);
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t frame_bytes_of(std::int32_t channels, int bits) {
    if (channels < 1 || bits < 8) return 0;
    return std::uint64_t{static_cast<std::uint32_t>(channels)} *
           static_cast<std::uint32_t>(bits / 8);
}

std::uint64_t frames_in_bytes(std::uint64_t data_bytes, std::int32_t channels, int bits) {
    const std::uint64_t frame_bytes = frame_bytes_of(channels, bits);
    return frame_bytes == 0 ? 0 : data_bytes / frame_bytes;
}

int store_sample_count(std::uint64_t frames, AudioInfo& info) {
    if (frames > largest_count) {
        std::fprintf(stderr, "audio data too long: %llu sample frames, at most %d supported\n",
                     static_cast<unsigned long long>(frames), INT32_MAX);
        return -1;
    }
    info.num_samples = static_cast<std::int32_t>(frames);
    info.num_samples_known = true;
    return 0;
}

int estimate_sample_count(std::FILE* stream, std::int32_t channels, int bits, AudioInfo& info) {
    if (channels < 1) {
        std::fprintf(stderr, "audio channel count %d not supported\n", channels);
        return -1;
    }
    const std::optional<std::uint64_t> size = regular_file_size(stream);
    const off_t position = ftello(stream);
    if (!size || position < 0) {
        info.num_samples = 0;
        info.num_samples_known = false;
        return 0;
    }
    const auto start = static_cast<std::uint64_t>(position);
    const std::uint64_t data_bytes = *size > start ? *size - start : 0;
    return store_sample_count(frames_in_bytes(data_bytes, channels, bits), info);
}

bool is_placeholder_size(std::FILE* stream, SizeField field, std::uint32_t value,
                         std::uint64_t frame_bytes) {
    constexpr std::uint32_t sox_wave_length = 0x7FFFF000;
    constexpr std::uint32_t arecord_wave_length = 0x80000000;
    constexpr std::uint32_t arecord_sun_size = 0xFFFFFFFE;
    constexpr std::uint32_t sox_aiff_bytes = 0x7F000000;
    if (frame_bytes == 0 || regular_file_size(stream)) return false;
    switch (field) {
    case SizeField::wave_data_length:
        return value == sox_wave_length - sox_wave_length % frame_bytes ||
               value == arecord_wave_length;
    case SizeField::sun_data_size:
        return value == arecord_sun_size;
    case SizeField::aiff_frame_count:
        return value == sox_aiff_bytes / frame_bytes;
    }
    return false;
}

int count_from_data_size(std::FILE* stream, SizeField field, std::uint32_t data_size,
                         AudioInfo& info) {
    constexpr std::uint32_t unknown_size = 0xFFFFFFFF;
    const int bits = sample_bits(info.sample_type);
    const bool no_size =
        data_size == unknown_size ||
        is_placeholder_size(stream, field, data_size, frame_bytes_of(info.channels, bits));
    return count_from_data_bytes(stream, no_size ? 0 : data_size, info);
}

int count_from_data_bytes(std::FILE* stream, std::uint64_t data_bytes, AudioInfo& info) {
    const int bits = sample_bits(info.sample_type);
    const std::uint64_t frames = frames_in_bytes(data_bytes, info.channels, bits);
    if (frames == 0) return estimate_sample_count(stream, info.channels, bits, info);
    return store_sample_count(frames, info);
}

} // namespace audiofile
