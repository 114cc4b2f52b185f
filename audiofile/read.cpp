// Sample reading: raw bytes of the stream -> one double per channel, the stored value unscaled.
//
//   stream ──fread (whole frames, ≤ 1 MiB)──► buffer [f0 f1 f2 ... f(n-1) | partial]
//                                                      ▲ frame_index     n = frames_in_buffer
//   audio_read converts frame `frame_index` (channel 0 first) and moves on; after the last whole
//   frame frame_index returns to 0 and the next call refills from the start of the buffer.
//   audio_view_frames16 hands out runs of the buffer itself, for 16-bit samples in host order.
//
// A live handle (a stream that is not a regular file) is refilled with read(2) instead, taking
// what has arrived so far and waiting only while not one whole frame is in; the bytes of a frame
// still incomplete stay behind the whole frames and begin the next refill:
//
//   buffer [f0 f1 ... f(n-1) | p p]  ──refill──►  [p p + what read(2) brought | ...]
//
// A read on a live handle refills at most once, and only when it has delivered nothing yet, so it
// never waits for frames beyond the first one it lacks.
//
// Every code has a fixed sample size and encoding (table below). Integers and singles convert to
// double exactly; nothing is scaled, clipped or dithered. 24-bit values are assembled in the top
// of a 32-bit word and shifted right arithmetically, which sign-extends them. G.711 codes are
// looked up in the expansion tables of g711.h.
//
// Invariants: a frame is converted only from the stream's bytes in their order, never from stale
// ones: a trailing partial frame is the end of the data, except on a live handle, where the next
// refill completes it. Never from outside the buffer, even if the caller changes `channels`
// between calls.
#include "audiofile/detect.h"
#include "audiofile/foreign.h"
#include "audiofile/g711.h"
#include "audiofile/stored.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace audiofile {

namespace {

enum class Encoding : std::uint8_t {
    none, // unassigned code: nothing delivered
    s8,
    u8, // unsigned, 128 = zero
    s16be,
    s16le,
    s24be,
    s24le,
    s32be,
    s32le,
    f32be,
    f32le,
    f64be,
    f64le,
    marker16,   // 16-bit, little-endian unless the marker reads byte-reversed
    marker_f32, // single, likewise
    marker_f64, // double, likewise
    mulaw,      // G.711 codes, expanded to 16-bit values
    alaw,
};

struct SampleFormat {
    int bits;
    Encoding encoding;
};

// Indexed by the ST_* code.
constexpr std::array<SampleFormat, 37> sample_formats = {{
    {16, Encoding::marker16},   // 0  ST_H512_PCM16
    {16, Encoding::none},       // 1
    {8, Encoding::s8},          // 2  ST_AIFF_PCM8
    {16, Encoding::s16be},      // 3  ST_AIFF_PCM16
    {24, Encoding::s24be},      // 4  ST_AIFF_PCM24
    {32, Encoding::s32be},      // 5  ST_AIFF_PCM32
    {16, Encoding::none},       // 6
    {8, Encoding::s8},          // 7  ST_AIFC_PCM8
    {16, Encoding::s16be},      // 8  ST_AIFC_PCM16
    {24, Encoding::s24be},      // 9  ST_AIFC_PCM24
    {32, Encoding::s32be},      // 10 ST_AIFC_PCM32
    {16, Encoding::s16be},      // 11 ST_SPW_FIXED16
    {64, Encoding::f64be},      // 12 ST_SPW_DOUBLE
    {32, Encoding::marker_f32}, // 13 ST_H512_FLOAT32
    {64, Encoding::marker_f64}, // 14 ST_H512_FLOAT64
    {16, Encoding::none},       // 15
    {8, Encoding::u8},          // 16 ST_WAVE_PCM8
    {16, Encoding::s16le},      // 17 ST_WAVE_PCM16
    {24, Encoding::s24le},      // 18 ST_WAVE_PCM24
    {32, Encoding::s32le},      // 19 ST_WAVE_PCM32
    {16, Encoding::none},       // 20
    {8, Encoding::s8},          // 21 ST_SUN_PCM8
    {16, Encoding::s16be},      // 22 ST_SUN_PCM16
    {24, Encoding::s24be},      // 23 ST_SUN_PCM24
    {32, Encoding::s32be},      // 24 ST_SUN_PCM32
    {32, Encoding::f32be},      // 25 ST_SUN_FLOAT32
    {64, Encoding::f64be},      // 26 ST_SUN_FLOAT64
    {32, Encoding::f32be},      // 27 ST_AIFC_FLOAT32
    {64, Encoding::f64be},      // 28 ST_AIFC_FLOAT64
    {32, Encoding::f32le},      // 29 ST_WAVE_FLOAT32
    {64, Encoding::f64le},      // 30 ST_WAVE_FLOAT64
    {8, Encoding::mulaw},       // 31 ST_SUN_MULAW
    {8, Encoding::alaw},        // 32 ST_SUN_ALAW
    {8, Encoding::mulaw},       // 33 ST_WAVE_MULAW
    {8, Encoding::alaw},        // 34 ST_WAVE_ALAW
    {8, Encoding::mulaw},       // 35 ST_AIFC_MULAW
    {8, Encoding::alaw},        // 36 ST_AIFC_ALAW
}};

// The byte-reversed forms of the 512-byte-header markers -32000, -32002 and -32004: samples of
// such a file are stored big-endian.
constexpr std::int32_t reversed_marker_pcm16 = 0x0083FFFF;
constexpr auto reversed_marker_float32 = static_cast<std::int32_t>(0xFE82FFFFu);
constexpr auto reversed_marker_float64 = static_cast<std::int32_t>(0xFC82FFFFu);

// Samples decoded by libsndfile (foreign.cpp) lie in the buffer in the host's byte order, which is
// little-endian (detect.cpp checks it).
constexpr SampleFormat decoded_format(std::int32_t sample_type) {
    switch (sample_type) {
    case ST_DECODED_PCM16:
        return {16, Encoding::s16le};
    case ST_DECODED_PCM32:
        return {32, Encoding::s32le};
    case ST_DECODED_FLOAT32:
        return {32, Encoding::f32le};
    case ST_DECODED_FLOAT64:
        return {64, Encoding::f64le};
    default:
        return {0, Encoding::none};
    }
}

constexpr SampleFormat format_of(std::int32_t sample_type) {
    if (sample_type >= ST_DECODED_PCM16) return decoded_format(sample_type);
    const auto code = static_cast<std::uint32_t>(sample_type);
    if (code >= sample_formats.size()) return {0, Encoding::none};
    return sample_formats[code];
}

// The fixed byte order of a marker-ordered encoding, from the file's marker.
Encoding resolve_marker(Encoding encoding, std::int32_t marker) {
    switch (encoding) {
    case Encoding::marker16:
        return marker == reversed_marker_pcm16 ? Encoding::s16be : Encoding::s16le;
    case Encoding::marker_f32:
        return marker == reversed_marker_float32 ? Encoding::f32be : Encoding::f32le;
    case Encoding::marker_f64:
        return marker == reversed_marker_float64 ? Encoding::f64be : Encoding::f64le;
    default:
        return encoding;
    }
}

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t be_word(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

std::uint64_t le64(Bytes s) {
    std::uint64_t v = 0;
    for (std::size_t i = 8; i-- > 0;) v = (v << 8) | s[i];
    return v;
}

// One stored sample to its value, per encoding (E is never none or a marker encoding).
template <Encoding E> double decode_as(Bytes s) {
    if constexpr (E == Encoding::s8) return static_cast<std::int8_t>(s[0]);
    if constexpr (E == Encoding::u8) return static_cast<int>(s[0]) - 128;
    if constexpr (E == Encoding::s16be) return static_cast<std::int16_t>(be_word(0, 0, s[0], s[1]));
    if constexpr (E == Encoding::s16le) return static_cast<std::int16_t>(be_word(0, 0, s[1], s[0]));
    if constexpr (E == Encoding::s24be)
        return static_cast<std::int32_t>(be_word(s[0], s[1], s[2], 0)) >> 8;
    if constexpr (E == Encoding::s24le)
        return static_cast<std::int32_t>(be_word(s[2], s[1], s[0], 0)) >> 8;
    if constexpr (E == Encoding::s32be)
        return static_cast<std::int32_t>(be_word(s[0], s[1], s[2], s[3]));
    if constexpr (E == Encoding::s32le)
        return static_cast<std::int32_t>(be_word(s[3], s[2], s[1], s[0]));
    if constexpr (E == Encoding::f32be) return swapped_float32(s.first<4>());
    if constexpr (E == Encoding::f32le)
        return std::bit_cast<float>(be_word(s[3], s[2], s[1], s[0]));
    if constexpr (E == Encoding::f64be) return swapped_float64(s.first<8>());
    if constexpr (E == Encoding::f64le) return std::bit_cast<double>(le64(s));
    if constexpr (E == Encoding::mulaw) return mulaw_values[s[0]];
    if constexpr (E == Encoding::alaw) return alaw_values[s[0]];
    return 0.0;
}

// Converts values.size() consecutive samples of `bytes` (sample_bytes each), the encoding chosen
// once for the whole run.
template <Encoding E>
void decode_run(Bytes bytes, std::size_t sample_bytes, std::span<double> values) {
    std::size_t i = 0;
    if constexpr (E == Encoding::s16le) { // the common case: four at a time where SSE2 is
#if defined(__SSE2__)
        const Bytes in = bytes.first(values.size() * 2);
        for (; i + 4 <= values.size(); i += 4) {
            const __m128i four = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&in[2 * i]));
            const __m128i wide = _mm_srai_epi32(_mm_unpacklo_epi16(four, four), 16);
            _mm_storeu_pd(&values[i], _mm_cvtepi32_pd(wide));
            _mm_storeu_pd(&values[i + 2], _mm_cvtepi32_pd(_mm_unpackhi_epi64(wide, wide)));
        }
#endif
    }
    for (; i < values.size(); ++i)
        values[i] = decode_as<E>(bytes.subspan(i * sample_bytes, sample_bytes));
}

void decode_run(Encoding encoding, Bytes bytes, std::size_t sample_bytes,
                std::span<double> values) {
    switch (encoding) {
    case Encoding::s8:
        return decode_run<Encoding::s8>(bytes, sample_bytes, values);
    case Encoding::u8:
        return decode_run<Encoding::u8>(bytes, sample_bytes, values);
    case Encoding::s16be:
        return decode_run<Encoding::s16be>(bytes, sample_bytes, values);
    case Encoding::s16le:
        return decode_run<Encoding::s16le>(bytes, sample_bytes, values);
    case Encoding::s24be:
        return decode_run<Encoding::s24be>(bytes, sample_bytes, values);
    case Encoding::s24le:
        return decode_run<Encoding::s24le>(bytes, sample_bytes, values);
    case Encoding::s32be:
        return decode_run<Encoding::s32be>(bytes, sample_bytes, values);
    case Encoding::s32le:
        return decode_run<Encoding::s32le>(bytes, sample_bytes, values);
    case Encoding::f32be:
        return decode_run<Encoding::f32be>(bytes, sample_bytes, values);
    case Encoding::f32le:
        return decode_run<Encoding::f32le>(bytes, sample_bytes, values);
    case Encoding::f64be:
        return decode_run<Encoding::f64be>(bytes, sample_bytes, values);
    case Encoding::f64le:
        return decode_run<Encoding::f64le>(bytes, sample_bytes, values);
    case Encoding::mulaw:
        return decode_run<Encoding::mulaw>(bytes, sample_bytes, values);
    case Encoding::alaw:
        return decode_run<Encoding::alaw>(bytes, sample_bytes, values);
    default:
        return; // no other encoding reaches here
    }
}

// The bytes a live refill begins with: the incomplete frame the last refill left, moved to the
// start of the buffer. Their count (0 when the record of them is not usable).
std::size_t carry_partial_frame(AudioFile& file, std::span<std::uint8_t> bytes) {
    const std::size_t at = file.partial_at;
    const std::size_t n = file.partial_bytes;
    file.partial_at = 0;
    file.partial_bytes = 0;
    if (at > bytes.size() || n > bytes.size() - at) return 0;
    std::memmove(bytes.data(), bytes.data() + at, n);
    return n;
}

// A live refill: one read(2) of whatever the stream holds, after the carried bytes, repeated only
// while not one whole frame is in. An interruption by a signal is kept in read_error as EINTR
// until the next refill, which goes on with the bytes that came before it.
bool refill_live(AudioFile& file, std::size_t frame_bytes) {
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(file.buffer->data()),
                                        SAMPLE_BUFFER_BYTES - SAMPLE_BUFFER_BYTES % frame_bytes);
    std::size_t held = carry_partial_frame(file, bytes);
    if (file.read_error == EINTR) file.read_error = 0;
    const int fd = fileno(file.stream.get());
    while (held < frame_bytes && file.read_error == 0) {
        const ssize_t got = ::read(fd, bytes.data() + held, bytes.size() - held);
        if (got == 0) break;
        if (got > 0) {
            held += static_cast<std::size_t>(got);
        } else {
            file.read_error = errno != 0 ? errno : EIO;
        }
    }
    const std::size_t frames = held / frame_bytes;
    file.frames_in_buffer = static_cast<std::int32_t>(frames);
    file.partial_at = frames * frame_bytes;
    file.partial_bytes = held - file.partial_at;
    return frames > 0;
}

// Fills the buffer with as many whole frames as fit; false when not one whole frame came.
// A short read with the stream's error flag set is a failure, not the end: it is kept in
// read_error for the caller to tell apart.
bool refill(AudioFile& file, std::size_t frame_bytes) {
    if (file.decoder) {
        const std::size_t frames = foreign_read(file, frame_bytes);
        file.frames_in_buffer = static_cast<std::int32_t>(frames);
        return frames > 0;
    }
    if (file.live) return refill_live(file, frame_bytes);
    const std::size_t request = SAMPLE_BUFFER_BYTES - SAMPLE_BUFFER_BYTES % frame_bytes;
    errno = 0;
    const std::size_t got = std::fread(file.buffer->data(), 1, request, file.stream.get());
    if (got < request && std::ferror(file.stream.get()) && file.read_error == 0)
        file.read_error = errno != 0 ? errno : EIO;
    file.frames_in_buffer = static_cast<std::int32_t>(got / frame_bytes);
    return file.frames_in_buffer > 0;
}

} // namespace

int sample_bits(std::int32_t sample_type) {
    return format_of(sample_type).bits;
}

int sample_value_bits(std::int32_t sample_type) {
    const SampleFormat format = format_of(sample_type);
    const bool g711 = format.encoding == Encoding::mulaw || format.encoding == Encoding::alaw;
    return g711 ? 16 : format.bits;
}

bool sample_is_float(std::int32_t sample_type) {
    switch (format_of(sample_type).encoding) {
    case Encoding::f32be:
    case Encoding::f32le:
    case Encoding::f64be:
    case Encoding::f64le:
    case Encoding::marker_f32:
    case Encoding::marker_f64:
        return true;
    default:
        return false;
    }
}

namespace {

// What audio_read and audio_read_frames share: the checks, and the layout of a frame.
struct ReadPlan {
    Encoding encoding = Encoding::none;
    std::size_t channels = 0;
    std::size_t sample_bytes = 0;
    std::size_t frame_bytes = 0;
};

// 0 with `plan` filled, or the result the read functions give at once: 82 (write handle, after
// its message), -1 (unusable handle or description), 1 (a code without conversion).
int plan_read(const AudioFile& file, ReadPlan& plan) {
    if (file.access == ACCESS_WRITE) {
        std::fputs("\nRead attempt at outputfile", stderr);
        return 82;
    }
    if (file.info == nullptr || !file.buffer || !file.stream) return -1;
    const AudioInfo& info = *file.info;
    const SampleFormat format = format_of(info.sample_type);
    if (format.encoding == Encoding::none) return 1;
    if (is_decoded_type(info.sample_type) != static_cast<bool>(file.decoder)) return 1;
    if (info.channels < 1) return -1;
    plan.encoding = resolve_marker(format.encoding, info.byte_order_marker);
    plan.channels = static_cast<std::size_t>(info.channels);
    plan.sample_bytes = static_cast<std::size_t>(format.bits / 8);
    plan.frame_bytes = plan.sample_bytes * plan.channels;
    return plan.frame_bytes > SAMPLE_BUFFER_BYTES ? -1 : 0;
}

Bytes buffer_bytes(const SampleBuffer& buffer) {
    return {reinterpret_cast<const std::uint8_t*>(buffer.data()), SAMPLE_BUFFER_BYTES};
}

// The encoding whose 16-bit samples are already the host's int16_t values.
constexpr Encoding host_s16 =
    std::endian::native == std::endian::little ? Encoding::s16le : Encoding::s16be;

// Frames still to deliver from the buffer, refilling it first when it is due; 0 at the end.
std::size_t frames_ready(AudioFile& file, const ReadPlan& plan) {
    if (file.frame_index == 0 && !refill(file, plan.frame_bytes)) return 0;
    if (file.frame_index < 0 || file.frame_index >= file.frames_in_buffer) return 0;
    const auto index = static_cast<std::size_t>(file.frame_index);
    const auto held = static_cast<std::size_t>(file.frames_in_buffer);
    if (held * plan.frame_bytes > SAMPLE_BUFFER_BYTES) return 0;
    return held - index;
}

// Moves past n delivered frames (n <= what frames_ready gave).
void pass_frames(AudioFile& file, std::size_t n) {
    file.frame_index += static_cast<std::int32_t>(n);
    if (file.frame_index >= file.frames_in_buffer) file.frame_index = 0;
}

// Delivers up to `wanted` frames in runs of what the buffer holds, refilling it between runs:
// convert(bytes, first, frames) stores one run, whose bytes start at the buffer position and whose
// frames are numbered from `first` in the caller's values. Returns the frames delivered: fewer
// than `wanted` only at the end of the data.
template <class Convert>
std::size_t read_runs(AudioFile& file, const ReadPlan& plan, std::size_t wanted, Convert convert) {
    std::size_t done = 0;
    while (done < wanted) {
        if (file.live && done > 0 && file.frame_index == 0) break; // the next refill could wait
        const std::size_t ready = frames_ready(file, plan);
        if (ready == 0) break;
        const std::size_t n = std::min(ready, wanted - done);
        const auto index = static_cast<std::size_t>(file.frame_index);
        convert(buffer_bytes(*file.buffer).subspan(index * plan.frame_bytes, n * plan.frame_bytes),
                done, n);
        pass_frames(file, n);
        done += n;
    }
    return done;
}

// The run converter of the double-valued reads.
auto into_doubles(const ReadPlan& plan, std::span<double> values) {
    return [&plan, values](Bytes bytes, std::size_t first, std::size_t frames) {
        decode_run(plan.encoding, bytes, plan.sample_bytes,
                   values.subspan(first * plan.channels, frames * plan.channels));
    };
}

} // namespace

int audio_read(std::span<double> values, AudioFile& file) {
    ReadPlan plan;
    if (const int early = plan_read(file, plan); early != 0) return early == 1 ? -1 : early;
    if (values.size() < plan.channels) return -1;
    return read_runs(file, plan, 1, into_doubles(plan, values)) == 1 ? 0 : -1;
}

int audio_read_frames(std::span<double> values, AudioFile& file) {
    ReadPlan plan;
    if (const int early = plan_read(file, plan); early != 0) return early == 1 ? 0 : early;
    const std::size_t wanted = values.size() / plan.channels;
    return static_cast<int>(read_runs(file, plan, wanted, into_doubles(plan, values)));
}

int audio_read_frames16(std::span<std::int16_t> values, AudioFile& file) {
    ReadPlan plan;
    if (const int early = plan_read(file, plan); early != 0) return early == 1 ? 0 : early;
    const bool little = plan.encoding == Encoding::s16le;
    if (!little && plan.encoding != Encoding::s16be) return -1;
    const std::size_t wanted = values.size() / plan.channels;
    const auto copy = [&](Bytes bytes, std::size_t first, std::size_t frames) {
        const std::span<std::int16_t> out =
            values.subspan(first * plan.channels, frames * plan.channels);
        // Byte order written out, which compilers turn into a plain (or byte-swapping) copy.
        if (little) {
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = static_cast<std::int16_t>(bytes[2 * i + 1] << 8 | bytes[2 * i]);
        } else {
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = static_cast<std::int16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        }
    };
    return static_cast<int>(read_runs(file, plan, wanted, copy));
}

std::span<const std::int16_t> audio_view_frames16(AudioFile& file, std::size_t frames) {
    ReadPlan plan;
    if (plan_read(file, plan) != 0 || plan.encoding != host_s16) return {};
    const std::size_t n = std::min(frames_ready(file, plan), frames);
    if (n == 0) return {};
    const auto first = static_cast<std::size_t>(file.frame_index) * plan.channels;
    pass_frames(file, n);
    return std::span<const std::int16_t>(*file.buffer).subspan(first, n * plan.channels);
}

int audio_read_error(const AudioFile& file) {
    return file.read_error;
}

std::size_t audio_frames_buffered(const AudioFile& file) {
    if (file.frame_index <= 0 || file.frame_index >= file.frames_in_buffer) return 0;
    return static_cast<std::size_t>(file.frames_in_buffer - file.frame_index);
}

// ---- For reads at a position (positioned.cpp) ------------------------------------------------

StoredLayout stored_layout(const AudioInfo& info) {
    const SampleFormat format = format_of(info.sample_type);
    if (format.encoding == Encoding::none) return {};
    const Encoding encoding = resolve_marker(format.encoding, info.byte_order_marker);
    const bool words = encoding == Encoding::s16le || encoding == Encoding::s16be;
    return {static_cast<std::size_t>(format.bits / 8), !words                 ? Words16::none
                                                       : encoding == host_s16 ? Words16::native
                                                                              : Words16::swapped};
}

void decode_stored(const AudioInfo& info, Bytes bytes, std::span<double> values) {
    const SampleFormat format = format_of(info.sample_type);
    decode_run(resolve_marker(format.encoding, info.byte_order_marker), bytes,
               static_cast<std::size_t>(format.bits / 8), values);
}

} // namespace audiofile
