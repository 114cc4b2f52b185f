// Decoded audio out: container choice, sample encoding, header of unknown length then exact,
// block writes. See pcm_output.h for the table of containers.
//
//   [ header ][ samples ......................................... ]
//   ^ header_at: written at start_output with placeholder sizes (writers.h), written again by
//     finish_output with the exact count when the output can seek (same length, same place)
#include "cli/decode/pcm_output.h"

#include "audiofile/writers.h"
#include "cli/common/files.h"
#include "cli/common/report.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

struct Traits {
    Container container;
    const char* type;
    std::array<const char*, 2> suffixes; // "" for none
    int32_t pcm16_type;                  // -1: headerless
    int32_t float_type;                  // -1: no float samples
    bool big_endian;
    int float_bytes;    // 4 (single) or 8 (double)
    double float_scale; // 1 where full scale is ±1.0, 32768 where it is the 16-bit scale
};

using namespace audiofile;
constexpr std::array<Traits, 7> traits = {{
    {Container::wav, "wav", {".wav", ".wave"}, ST_WAVE_PCM16, ST_WAVE_FLOAT32, false, 4, 1.0},
    {Container::au, "au", {".au", ".snd"}, ST_SUN_PCM16, ST_SUN_FLOAT32, true, 4, 1.0},
    {Container::aiff, "aiff", {".aiff", ".aif"}, ST_AIFF_PCM16, -1, true, 4, 1.0},
    {Container::aifc, "aifc", {".aifc", ""}, ST_AIFC_PCM16, ST_AIFC_FLOAT32, true, 4, 1.0},
    {Container::spw, "spw", {".spw", ""}, ST_SPW_FIXED16, ST_SPW_DOUBLE, true, 8, 32768.0},
    {Container::h512, "h512", {".h512", ""}, ST_H512_PCM16, ST_H512_FLOAT32, false, 4, 32768.0},
    {Container::raw, "raw", {".raw", ".pcm"}, -1, -1, false, 4, 1.0},
}};

const Traits& traits_of(Container c) {
    return traits[static_cast<size_t>(c)];
}

constexpr bool host_big_endian = std::endian::native == std::endian::big;

// A header rendered in memory by the library's writers.
struct HeaderImage {
    std::array<uint8_t, 1024> bytes{};
    size_t size = 0;
};

bool render_header(const AudioInfo& info, bool exact, HeaderImage& image) {
    std::FILE* memory = fmemopen(image.bytes.data(), image.bytes.size(), "wb");
    if (memory == nullptr) return false;
    const int written =
        exact ? write_header(memory, info) : write_header_unknown_length(memory, info);
    const long size = std::ftell(memory);
    std::fclose(memory);
    if (written != 0 || size <= 0 || static_cast<size_t>(size) >= image.bytes.size()) return false;
    image.size = static_cast<size_t>(size);
    return true;
}

bool fail_write(PcmOutput& out, int error) {
    if (!out.failed) report("cannot write %s: %s", out.name.c_str(), std::strerror(error));
    out.failed = true;
    return false;
}

// Room for `bytes` more in the block, flushing it when needed.
uint8_t* room(PcmOutput& out, size_t bytes) {
    if (out.failed) return nullptr;
    if (OUTPUT_BLOCK_BYTES - out.used < bytes && !flush_output(out)) return nullptr;
    return out.block->data() + out.used;
}

// Gives an output that can seek its exact sizes, in a header of the length written first.
bool rewrite_header(PcmOutput& out) {
    const bool countable = out.instants <= INT32_MAX;
    out.info.num_samples = countable ? static_cast<int32_t>(out.instants) : 0;
    const bool exact = countable && header_problem(out.info).ok();
    HeaderImage image;
    if (!render_header(out.info, exact, image) ||
        static_cast<int64_t>(image.size) != out.header_length) {
        report("%s: %lld sample frames are more than its header can count", out.name.c_str(),
               static_cast<long long>(out.instants));
        return true; // the audio is all there; only the count is missing
    }
    const uint8_t* bytes = image.bytes.data();
    for (size_t done = 0; done < image.size;) {
        const ssize_t n = pwrite(out.fd, bytes + done, image.size - done,
                                 static_cast<off_t>(out.header_at + static_cast<int64_t>(done)));
        if (n <= 0 && !(n < 0 && errno == EINTR)) return fail_write(out, n < 0 ? errno : EIO);
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (!exact)
        report("%s: %lld sample frames are more than its header can count; its sizes say "
               "\"unknown length\"",
               out.name.c_str(), static_cast<long long>(out.instants));
    return true;
}

} // namespace

std::optional<Container> container_of_type(std::string_view type) {
    for (const Traits& t : traits)
        if (type == t.type) return t.container;
    return std::nullopt;
}

std::optional<Container> container_of_suffix(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos)
        return std::nullopt;
    const std::string suffix(name.substr(dot));
    for (const Traits& t : traits)
        for (const char* s : t.suffixes)
            if (*s != '\0' && strcasecmp(suffix.c_str(), s) == 0) return t.container;
    return std::nullopt;
}

const char* container_types() {
    return "wav, au, aiff, aifc, spw, h512, raw";
}

const char* samples_problem(Container container, bool float_samples, int32_t channels) {
    if (float_samples && container == Container::aiff)
        return "AIFF has no float samples (AIFC has: -t aifc)";
    if (container == Container::spw && channels > 1)
        return "an SPW signal file holds one channel, and the stream has two";
    return nullptr;
}

bool adopt_output(int fd, const char* name, const Input& input, Container container,
                  bool float_samples, PcmOutput& out) {
    out.fd = fd;
    out.name = name;
    out.owned = fd != STDOUT_FILENO;
    out.container = container;
    out.float_samples = float_samples;
    out.block = std::make_unique<std::array<uint8_t, OUTPUT_BLOCK_BYTES>>();
    struct stat status {};
    out.regular = fstat(out.fd, &status) == 0 && S_ISREG(status.st_mode);
    const auto refuse = [&] {
        if (out.owned) close(out.fd);
        out.fd = -1;
        return false;
    };
    if (output_is_input(out.fd, input.fd)) {
        report("%s is the inputfile; it is left untouched", out.name.c_str());
        return refuse();
    }
    if (out.regular && out.owned && ftruncate(out.fd, 0) != 0) {
        report("cannot open %s: %s", out.name.c_str(), std::strerror(errno));
        return refuse();
    }
    const int flags = fcntl(out.fd, F_GETFL);
    const off_t at = out.regular ? lseek(out.fd, 0, SEEK_CUR) : -1;
    out.seekable = out.regular && flags >= 0 && (flags & O_APPEND) == 0 && at >= 0;
    out.header_at = at < 0 ? 0 : at;
    return true;
}

bool open_output(const char* name, const Input& input, Container container, bool float_samples,
                 PcmOutput& out) {
    if (name == nullptr || std::strcmp(name, "-") == 0 || std::strcmp(name, "AUDIO_TO_STDOUT") == 0)
        return adopt_output(STDOUT_FILENO, "standard output", input, container, float_samples, out);
    const int fd = open_for_output(name);
    if (fd < 0) {
        report("cannot open %s: %s", name, std::strerror(errno));
        return false;
    }
    return adopt_output(fd, name, input, container, float_samples, out);
}

bool start_output(PcmOutput& out, const sbc::FrameHeader& first) {
    if (const char* problem = samples_problem(out.container, out.float_samples, first.channels)) {
        report("%s: %s", out.name.c_str(), problem);
        return false;
    }
    const Traits& t = traits_of(out.container);
    out.info = {};
    out.info.channels = first.channels;
    out.info.sampling_frequency = first.sampling_frequency;
    out.info.sample_type = out.float_samples ? t.float_type : t.pcm16_type;
    out.info.byte_order_marker = NATIVE_BYTE_ORDER_MARKER;
    out.info.ident_1 = 32149; // what the readers store for containers other than 512-byte headers
    out.info.ident_2 = 123456;
    out.started = true;
    if (out.container == Container::raw) return true;

    // A file that can seek gets its exact sizes at the end, in a header of the same length; the
    // header of unknown length serves meanwhile (a run killed outright leaves readable audio).
    HeaderImage unknown, exact;
    if (!render_header(out.info, false, unknown) || !render_header(out.info, true, exact)) {
        report("%s: cannot write a header for %d channels at %d Hz", out.name.c_str(),
               first.channels, first.sampling_frequency);
        out.started = false;
        return false;
    }
    const HeaderImage& first_header = !out.seekable || unknown.size == exact.size ? unknown : exact;
    out.header_length = static_cast<int64_t>(first_header.size);
    const auto header = std::span(first_header.bytes).first(first_header.size);
    if (const int error = write_all(out.fd, header); error != 0) return fail_write(out, error);
    return true;
}

bool write_samples(PcmOutput& out, std::span<const int16_t> samples) {
    const size_t bytes = samples.size() * 2;
    uint8_t* to = room(out, bytes);
    if (to == nullptr) return false;
    if (traits_of(out.container).big_endian == host_big_endian) {
        std::memcpy(to, samples.data(), bytes);
    } else {
        for (const int16_t s : samples) {
            const auto swapped = __builtin_bswap16(static_cast<uint16_t>(s));
            std::memcpy(to, &swapped, 2);
            to += 2;
        }
    }
    out.used += bytes;
    out.instants += static_cast<int64_t>(samples.size()) / out.info.channels;
    return true;
}

bool write_samples(PcmOutput& out, std::span<const float> samples) {
    const Traits& t = traits_of(out.container);
    const size_t bytes = samples.size() * static_cast<size_t>(t.float_bytes);
    uint8_t* to = room(out, bytes);
    if (to == nullptr) return false;
    const bool swap = t.big_endian != host_big_endian;
    for (const float s : samples) {
        if (t.float_bytes == 8) {
            auto bits = std::bit_cast<uint64_t>(static_cast<double>(s) * t.float_scale);
            bits = swap ? __builtin_bswap64(bits) : bits;
            std::memcpy(to, &bits, 8);
        } else {
            auto bits = std::bit_cast<uint32_t>(static_cast<float>(s * t.float_scale));
            bits = swap ? __builtin_bswap32(bits) : bits;
            std::memcpy(to, &bits, 4);
        }
        to += t.float_bytes;
    }
    out.used += bytes;
    out.instants += static_cast<int64_t>(samples.size()) / out.info.channels;
    return true;
}

bool flush_output(PcmOutput& out) {
    if (out.failed) return false;
    const size_t count = out.used;
    out.used = 0;
    if (count == 0) return true;
    if (const int error = write_all(out.fd, std::span(*out.block).first(count)); error != 0)
        return fail_write(out, error);
    return true;
}

bool finish_output(PcmOutput& out) {
    bool ok = flush_output(out) && !out.failed;
    if (ok && out.started && out.seekable && out.container != Container::raw)
        ok = rewrite_header(out);
    if (out.owned && out.fd >= 0 && close(out.fd) != 0 && ok) ok = fail_write(out, errno);
    out.fd = -1;
    return ok;
}

} // namespace cli
