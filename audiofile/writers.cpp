// The header writers: one header per container, built in memory and written in one piece.
//
//   data size = channels × num_samples × bytes per sample        (64-bit: never wraps)
//
//   WAVE (44 bytes, little-endian)   RIFF <data+36> WAVE | fmt  16 tag ch rate rate·ch·b ch·b 8b |
//                                    data <data>
//   Sun (24 bytes, big-endian)       .snd 24 <data> encoding rate channels
//   AIFF / AIFC (big-endian)         FORM <size> AIFF|AIFC | [FVER 4 A2805140] |
//                                    COMM 18|22+P ch frames 8b rate(80-bit) [type pname] |
//                                    [COMT n+10(+1) 1 0 0 n text [pad]] | SSND <data+8> 0 0
//   512-byte header                  128 little-endian words, zero but for words 4, 5, 11, 35..38,
//                                    54, 60..65
//   SPW                              text lines, "$SIGNAL_FILE 9" to "$DATA"
//
// header_problem refuses, before anything is written, an AudioInfo whose sizes a header cannot
// hold; the writers then fill their fixed layouts in one pass and report a failed write. A header
// of unknown length has the same layout with placeholders in the size fields (writers.h).
#include "audiofile/writers.h"

#include "audiofile/detect.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

namespace audiofile {

namespace {

enum class Container : std::uint8_t { none, h512, aiff, aifc, wave, sun, spw };

struct WriterFormat {
    Container container = Container::none;
    int bytes = 0;         // bytes per stored sample
    std::int32_t code = 0; // WAVE format tag, Sun encoding, or the 512-byte header's check word
    std::string_view compression{};      // AIFC compression type (4 characters)
    std::string_view compression_name{}; // AIFC compression name
};

constexpr WriterFormat aifc(int bytes, std::string_view type, std::string_view name) {
    return {Container::aifc, bytes, 0, type, name};
}
constexpr WriterFormat aifc_pcm(int bytes) {
    return aifc(bytes, "NONE", "not compressed");
}

// Indexed by the ST_* code; Container::none marks the codes without a writer.
constexpr std::array<WriterFormat, 31> writer_formats = {{
    {Container::h512, 2, -32000},         // 0  ST_H512_PCM16
    {},                                   // 1
    {Container::aiff, 1},                 // 2  ST_AIFF_PCM8
    {Container::aiff, 2},                 // 3  ST_AIFF_PCM16
    {Container::aiff, 3},                 // 4  ST_AIFF_PCM24
    {Container::aiff, 4},                 // 5  ST_AIFF_PCM32
    {},                                   // 6
    aifc_pcm(1),                          // 7  ST_AIFC_PCM8
    aifc_pcm(2),                          // 8  ST_AIFC_PCM16
    aifc_pcm(3),                          // 9  ST_AIFC_PCM24
    aifc_pcm(4),                          // 10 ST_AIFC_PCM32
    {Container::spw, 2},                  // 11 ST_SPW_FIXED16
    {Container::spw, 8},                  // 12 ST_SPW_DOUBLE
    {Container::h512, 4, -32002},         // 13 ST_H512_FLOAT32
    {Container::h512, 8, -32004},         // 14 ST_H512_FLOAT64
    {},                                   // 15
    {Container::wave, 1, 1},              // 16 ST_WAVE_PCM8
    {Container::wave, 2, 1},              // 17 ST_WAVE_PCM16
    {Container::wave, 3, 1},              // 18 ST_WAVE_PCM24
    {Container::wave, 4, 1},              // 19 ST_WAVE_PCM32
    {},                                   // 20
    {Container::sun, 1, 2},               // 21 ST_SUN_PCM8
    {Container::sun, 2, 3},               // 22 ST_SUN_PCM16
    {Container::sun, 3, 4},               // 23 ST_SUN_PCM24
    {Container::sun, 4, 5},               // 24 ST_SUN_PCM32
    {Container::sun, 4, 6},               // 25 ST_SUN_FLOAT32
    {Container::sun, 8, 7},               // 26 ST_SUN_FLOAT64
    aifc(4, "fl32", "IEEE 32-bit float"), // 27 ST_AIFC_FLOAT32
    aifc(8, "fl64", "IEEE 64-bit float"), // 28 ST_AIFC_FLOAT64
    {Container::wave, 4, 3},              // 29 ST_WAVE_FLOAT32
    {Container::wave, 8, 3},              // 30 ST_WAVE_FLOAT64
}};

const WriterFormat& format_of(std::int32_t sample_type) {
    static constexpr WriterFormat no_writer{};
    if (sample_type < 0 || sample_type >= static_cast<std::int32_t>(writer_formats.size()))
        return no_writer;
    return writer_formats[static_cast<std::size_t>(sample_type)];
}

// Field limits of the headers.
constexpr std::uint64_t u32_max = UINT32_MAX;
constexpr std::int32_t h512_max_channels = 128;    // a signed byte holds channels - 1
constexpr std::int32_t int16_max_channels = 32767; // AIFF and WAVE: a 16-bit count, read signed
constexpr std::uint64_t wave_max_block_align = 65535;
constexpr std::uint64_t sun_max_data = u32_max - 1; // 0xFFFFFFFF stands for "size unknown"
constexpr std::uint32_t aifc_version = 0xA2805140;
constexpr std::int32_t h512_block_bytes = 512;
constexpr std::size_t comment_max = 255;

// channels × num_samples × bytes for a checked AudioInfo, saturated at UINT64_MAX.
std::uint64_t data_bytes(const AudioInfo& info, int bytes) {
    const std::uint64_t samples =
        static_cast<std::uint64_t>(info.channels) * static_cast<std::uint64_t>(info.num_samples);
    const auto b = static_cast<std::uint64_t>(bytes);
    return samples > UINT64_MAX / b ? UINT64_MAX : samples * b;
}

std::size_t comment_length(const AudioInfo& info) {
    return std::min(strnlen(info.comment.data(), info.comment.size()), comment_max);
}

// The sizes of an AIFF/AIFC header, shared by the check and the writer.
struct AiffLayout {
    std::array<std::uint8_t, 258> name{}; // AIFC compression name as a Pascal string
    std::size_t name_bytes = 0;
    std::uint32_t comm_size = 18;
    std::uint32_t comt_size = 0; // 0: no COMT chunk
    std::uint64_t ssnd_size = 0;
    std::uint64_t form_size = 0;
};

AiffLayout aiff_layout(const AudioInfo& info, const WriterFormat& f) {
    AiffLayout l;
    const bool aifc = f.container == Container::aifc;
    if (aifc) {
        l.name_bytes = write_pstring(l.name, f.compression_name);
        l.comm_size = static_cast<std::uint32_t>(22 + l.name_bytes);
    }
    l.ssnd_size = data_bytes(info, f.bytes) + 8;
    l.form_size = std::uint64_t{l.comm_size} + l.ssnd_size + 20 + (aifc ? 12 : 0);
    if (const std::size_t n = comment_length(info); n > 0) {
        l.comt_size = static_cast<std::uint32_t>(n + 10 + n % 2);
        l.form_size += l.comt_size + 8;
    }
    return l;
}

// A header assembled in memory. Every append is bounds-checked; one that does not fit marks the
// header as overflowed, and an overflowed header is never written.
struct HeaderBytes {
    std::array<std::uint8_t, 1024> bytes{};
    std::size_t size = 0;
    bool overflow = false;

    void raw(std::span<const std::uint8_t> data) {
        if (overflow || data.size() > bytes.size() - size) {
            overflow = true;
            return;
        }
        std::memcpy(bytes.data() + size, data.data(), data.size());
        size += data.size();
    }
    void text(std::string_view t) {
        raw({reinterpret_cast<const std::uint8_t*>(t.data()), t.size()});
    }
    void be16(std::uint32_t v) { raw(std::array{byte(v, 8), byte(v, 0)}); }
    void be32(std::uint32_t v) {
        raw(std::array{byte(v, 24), byte(v, 16), byte(v, 8), byte(v, 0)});
    }
    void le16(std::uint32_t v) { raw(std::array{byte(v, 0), byte(v, 8)}); }
    void le32(std::uint32_t v) {
        raw(std::array{byte(v, 0), byte(v, 8), byte(v, 16), byte(v, 24)});
    }
    static std::uint8_t byte(std::uint32_t v, int shift) {
        return static_cast<std::uint8_t>(v >> shift);
    }
};

// Writes the assembled header: 0, or -1 when it overflowed or the stream took fewer bytes.
int emit(std::FILE* stream, const HeaderBytes& out) {
    if (out.overflow) {
        errno = EOVERFLOW;
        return -1;
    }
    return std::fwrite(out.bytes.data(), 1, out.size, stream) == out.size ? 0 : -1;
}

// The table entry when `info` is writable by the writer of `container`, else null (errno EINVAL).
const WriterFormat* checked_format(const AudioInfo& info, Container container) {
    const WriterFormat& f = format_of(info.sample_type);
    const bool aiff_family = container == Container::aiff &&
                             (f.container == Container::aiff || f.container == Container::aifc);
    if ((f.container != container && !aiff_family) || !header_problem(info).ok()) {
        errno = EINVAL;
        return nullptr;
    }
    return &f;
}

std::uint32_t u32(std::int32_t v) {
    return static_cast<std::uint32_t>(v);
}

template <typename... Args> HeaderProblem problem(const char* format, Args... args) {
    HeaderProblem p;
    std::snprintf(p.text.data(), p.text.size(), format, args...);
    return p;
}

// The limits of each container's own fields, for an AudioInfo that passed the common checks.
HeaderProblem container_problem(const AudioInfo& info, const WriterFormat& f) {
    const std::uint64_t data = data_bytes(info, f.bytes);
    const auto too_big = [&](const char* name) {
        return problem("%llu bytes of samples do not fit %s header",
                       static_cast<unsigned long long>(data), name);
    };
    const auto too_many = [&](const char* name, std::int32_t most) {
        return problem("%d channels do not fit %s header (at most %d)", info.channels, name, most);
    };
    switch (f.container) {
    case Container::h512:
        if (info.channels > h512_max_channels) return too_many("a 512-byte", h512_max_channels);
        if (data / h512_block_bytes > INT32_MAX) return too_big("a 512-byte");
        break;
    case Container::aiff:
    case Container::aifc:
        if (info.channels > int16_max_channels) return too_many("an AIFF/AIFC", int16_max_channels);
        if (aiff_layout(info, f).form_size > u32_max) return too_big("an AIFF/AIFC");
        break;
    case Container::wave: {
        const std::int32_t most =
            static_cast<std::int32_t>(wave_max_block_align / static_cast<unsigned>(f.bytes));
        if (info.channels > std::min(most, int16_max_channels))
            return too_many("a WAVE", std::min(most, int16_max_channels));
        const std::uint64_t rate = std::uint64_t{u32(info.sampling_frequency)} *
                                   u32(info.channels) * static_cast<unsigned>(f.bytes);
        if (rate > u32_max)
            return problem("%llu bytes per second do not fit a WAVE header",
                           static_cast<unsigned long long>(rate));
        if (data > u32_max - 36) return too_big("a WAVE");
        break;
    }
    case Container::sun:
        if (data > sun_max_data) return too_big("a Sun audio");
        break;
    case Container::spw: {
        const std::uint64_t points = std::uint64_t{u32(info.num_samples)} * u32(info.channels);
        if (points > INT32_MAX)
            return problem("%llu points do not fit an SPW header",
                           static_cast<unsigned long long>(points));
        break;
    }
    case Container::none:
        break;
    }
    return {};
}

// What a header says about the data's length: its exact size (from num_samples), or the
// placeholders that readers take for "not known, read to the end" (num_samples ignored).
enum class Sizes : std::uint8_t { exact, unknown };

constexpr std::uint32_t unknown_size = 0xFFFFFFFF;

} // namespace

HeaderProblem header_problem(const AudioInfo& info) {
    const WriterFormat& f = format_of(info.sample_type);
    if (f.container == Container::none)
        return problem("sample type %d has no header writer", info.sample_type);
    if (info.channels < 1) return problem("%d channels (at least 1 is needed)", info.channels);
    if (info.num_samples < 0) return problem("num_samples %d is negative", info.num_samples);
    if (info.sampling_frequency < 0)
        return problem("sampling frequency %d is negative", info.sampling_frequency);
    return container_problem(info, f);
}

void double_to_extended(double x, std::span<std::uint8_t, 10> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::uint32_t sign = 0;
    if (x < 0) {
        sign = 0x8000;
        x = -x;
    }
    if (x == 0) return;
    int e = 0;
    double f = std::frexp(x, &e); // x = f × 2^e, f in [0.5, 1) for finite x
    std::uint32_t exponent = 0;
    std::uint32_t hi = 0;
    std::uint32_t lo = 0;
    if (e > 16384 || !(f < 1)) { // infinity (and NaN, for which frexp gives no fraction)
        exponent = sign | 0x7FFF;
    } else {
        e += 16382;
        if (e < 0) { // below the smallest extended exponent: a denormal
            f = std::ldexp(f, e);
            e = 0;
        }
        exponent = static_cast<std::uint32_t>(e) | sign;
        f = std::ldexp(f, 32);
        const double hi_part = std::floor(f);
        hi = static_cast<std::uint32_t>(hi_part);
        lo = static_cast<std::uint32_t>(std::floor(std::ldexp(f - hi_part, 32)));
    }
    HeaderBytes b;
    b.be16(exponent);
    b.be32(hi);
    b.be32(lo);
    std::copy_n(b.bytes.begin(), out.size(), out.begin());
}

std::size_t write_pstring(std::span<std::uint8_t> dest, std::string_view text) {
    const std::size_t count = std::min(text.size(), std::size_t{255});
    const std::size_t total = 1 + count + (count % 2 == 0 ? 1 : 0);
    if (dest.size() < total) return 0;
    dest[0] = static_cast<std::uint8_t>(count);
    std::memcpy(dest.data() + 1, text.data(), count);
    if (total > count + 1) dest[count + 1] = 0;
    return total;
}

namespace {

// The writers proper; for Sizes::unknown they are given an AudioInfo whose num_samples is 0.

int h512_header(std::FILE* stream, const AudioInfo& info, Sizes) {
    const WriterFormat* f = checked_format(info, Container::h512);
    if (f == nullptr) return -1;
    std::array<std::uint32_t, 128> words{};
    words[4] = 89;
    words[5] = static_cast<std::uint32_t>(data_bytes(info, f->bytes) / h512_block_bytes);
    words[11] = static_cast<std::uint32_t>(h512_block_bytes / (info.channels * f->bytes));
    words[35] = u32(info.aux_value_1); // words 36, 38 and 60 (decimal exponents) stay 0
    words[37] = u32(info.aux_value_2);
    words[54] = u32(info.num_samples);
    words[61] = u32(info.sampling_frequency);
    words[62] = u32(f->code);
    words[63] = u32(info.ident_1);
    words[64] = u32(info.ident_2);
    words[65] = (u32(info.aux_high) << 16) | ((u32(info.aux_byte) & 0xFF) << 8) |
                (u32(info.channels - 1) & 0xFF);
    HeaderBytes out;
    for (const std::uint32_t w : words) out.le32(w);
    return emit(stream, out);
}

int aiff_header(std::FILE* stream, const AudioInfo& info, Sizes sizes) {
    const WriterFormat* f = checked_format(info, Container::aiff);
    if (f == nullptr) return -1;
    const bool aifc = f->container == Container::aifc;
    const AiffLayout l = aiff_layout(info, *f);
    HeaderBytes out;
    const bool unknown = sizes == Sizes::unknown;
    out.text("FORM");
    out.be32(unknown ? unknown_size : static_cast<std::uint32_t>(l.form_size));
    out.text(aifc ? "AIFC" : "AIFF");
    if (aifc) {
        out.text("FVER");
        out.be32(4);
        out.be32(aifc_version);
    }
    out.text("COMM");
    out.be32(l.comm_size);
    out.be16(u32(info.channels));
    out.be32(u32(info.num_samples));
    out.be16(static_cast<std::uint32_t>(f->bytes * 8));
    std::array<std::uint8_t, 10> rate{};
    double_to_extended(info.sampling_frequency, rate);
    out.raw(rate);
    if (aifc) {
        out.text(f->compression);
        out.raw(std::span(l.name).first(l.name_bytes));
    }
    if (l.comt_size != 0) {
        const std::size_t n = comment_length(info);
        out.text("COMT");
        out.be32(l.comt_size);
        out.be16(1); // one comment, time stamp 0, marker 0
        out.be32(0);
        out.be16(0);
        out.be16(static_cast<std::uint32_t>(n));
        out.text({info.comment.data(), n});
        if (n % 2 == 1) out.raw(std::array<std::uint8_t, 1>{0});
    }
    out.text("SSND");
    out.be32(unknown ? unknown_size : static_cast<std::uint32_t>(l.ssnd_size));
    out.be32(0); // offset
    out.be32(0); // block size
    return emit(stream, out);
}

int wave_header(std::FILE* stream, const AudioInfo& info, Sizes sizes) {
    const WriterFormat* f = checked_format(info, Container::wave);
    if (f == nullptr) return -1;
    const auto bytes = static_cast<std::uint32_t>(f->bytes);
    const bool unknown = sizes == Sizes::unknown;
    const auto data =
        unknown ? unknown_size : static_cast<std::uint32_t>(data_bytes(info, f->bytes));
    HeaderBytes out;
    out.text("RIFF");
    out.le32(unknown ? unknown_size : data + 36);
    out.text("WAVEfmt ");
    out.le32(16);
    out.le16(u32(f->code));
    out.le16(u32(info.channels));
    out.le32(u32(info.sampling_frequency));
    out.le32(u32(info.sampling_frequency) * u32(info.channels) * bytes);
    out.le16(u32(info.channels) * bytes);
    out.le16(bytes * 8);
    out.text("data");
    out.le32(data);
    return emit(stream, out);
}

int sun_header(std::FILE* stream, const AudioInfo& info, Sizes sizes) {
    const WriterFormat* f = checked_format(info, Container::sun);
    if (f == nullptr) return -1;
    HeaderBytes out;
    out.text(".snd");
    out.be32(24); // header size: no annotation
    out.be32(sizes == Sizes::unknown ? unknown_size
                                     : static_cast<std::uint32_t>(data_bytes(info, f->bytes)));
    out.be32(u32(f->code));
    out.be32(u32(info.sampling_frequency));
    out.be32(u32(info.channels));
    return emit(stream, out);
}

int spw_header(std::FILE* stream, const AudioInfo& info, Sizes sizes) {
    const WriterFormat* f = checked_format(info, Container::spw);
    if (f == nullptr) return -1;
    HeaderBytes out;
    const auto line = [&out](const char* format, long long value) {
        std::array<char, 64> text{};
        const int n = std::snprintf(text.data(), text.size(), format, value);
        out.text({text.data(), static_cast<std::size_t>(std::max(n, 0))});
    };
    const std::string_view comment{info.comment.data(), comment_length(info)};
    out.text("$SIGNAL_FILE 9\n$USER_COMMENT\n");
    out.text(comment);
    // The comment is one line: ended here unless it already ends with its line feed.
    if (comment.empty() || comment.back() != '\n') out.text("\n");
    out.text("$COMMON_INFO\nSPW Version = 3.00\nSystem Type = sun4\n");
    line("Sampling Frequency = %7lld\n", info.sampling_frequency);
    out.text("Starting Time = 0\n$DATA_INFO\n");
    if (sizes == Sizes::exact) // without the line, the data is read to its end
        line("Number of points = %11lld\n",
             static_cast<long long>(info.num_samples) * info.channels);
    if (info.sample_type == ST_SPW_FIXED16)
        out.text("Signal Type = Fixedpoint\nFixed Point Format = <16,15,t>\n");
    else
        out.text("Signal Type = Double\n");
    out.text("$DATA\n");
    return emit(stream, out);
}

// The writer that the sample type chooses, then a flush: the C stream holds the header in its
// buffer, and only the flush tells whether it arrived.
int write_chosen_header(std::FILE* stream, const AudioInfo& info, Sizes sizes) {
    int result = -1;
    switch (format_of(info.sample_type).container) {
    case Container::h512:
        result = h512_header(stream, info, sizes);
        break;
    case Container::aiff:
    case Container::aifc:
        result = aiff_header(stream, info, sizes);
        break;
    case Container::wave:
        result = wave_header(stream, info, sizes);
        break;
    case Container::sun:
        result = sun_header(stream, info, sizes);
        break;
    case Container::spw:
        result = spw_header(stream, info, sizes);
        break;
    case Container::none:
        errno = EINVAL;
        break;
    }
    if (result != 0) return -1;
    return std::fflush(stream) == 0 ? 0 : -1;
}

} // namespace

int write_h512_header(std::FILE* stream, const AudioInfo& info) {
    return h512_header(stream, info, Sizes::exact);
}
int write_aiff_header(std::FILE* stream, const AudioInfo& info) {
    return aiff_header(stream, info, Sizes::exact);
}
int write_wave_header(std::FILE* stream, const AudioInfo& info) {
    return wave_header(stream, info, Sizes::exact);
}
int write_sun_header(std::FILE* stream, const AudioInfo& info) {
    return sun_header(stream, info, Sizes::exact);
}
int write_spw_header(std::FILE* stream, const AudioInfo& info) {
    return spw_header(stream, info, Sizes::exact);
}

int write_header(std::FILE* stream, const AudioInfo& info) {
    return write_chosen_header(stream, info, Sizes::exact);
}

int write_header_unknown_length(std::FILE* stream, const AudioInfo& info) {
    AudioInfo no_count = info;
    no_count.num_samples = 0;
    return write_chosen_header(stream, no_count, Sizes::unknown);
}

} // namespace audiofile
