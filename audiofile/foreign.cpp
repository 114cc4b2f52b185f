// The reader of last resort: a file that the five readers refuse is handed to libsndfile, which
// decodes FLAC, Ogg (Vorbis, Opus), MP3, Sony Wave64 and CAF. Writing and keeping decoders for
// five codecs by hand would be most of this library again; libsndfile is Debian's well-kept one.
//
// libsndfile reads through virtual I/O, which serves it the file from its first byte:
//
//   regular file    pread at start + position; the real length; every seek works
//
//   pipe            position:  0 ........ C ................ end - W ...... end ...... end + A
//                              [ consumed ]   (gone)         [  window   ] | read on | "nothing"
//                   consumed:  the C bytes recognition took from the stream, kept whole
//                   window:    the last W = 1 MiB taken from the stream (a ring), to go back in
//                   read on:   a read at or a little past `end` takes the bytes from the stream
//                              (a forward seek of up to A = 512 KiB is served by reading ahead)
//                   beyond A:  no bytes, and the stream is left alone: what libsndfile looks for
//                              there (an Ogg file's last page, chunks after a W64/CAF file's
//                              data) a pipe cannot show without being read to its end
//                   length:    2^48 (a pipe's length is unknowable; libsndfile refuses -1);
//                              a seek from the end is refused, so MP3's probe for a trailing
//                              tag is skipped
//
// Decoded frames go straight into the handle's buffer, in the host's byte order, as the sample
// type says (ST_DECODED_*): 8/16-bit sources as 16-bit integers, 24/32-bit ones as 32-bit
// integers, float and lossy sources as singles, double ones as doubles. Lossless sources give
// exactly their samples.
//
// Invariants: memory is bounded whatever the stream's length (the window, libsndfile's own
// buffers); nothing is read behind the window; a read failure of the stream is kept and ends
// the decoding, never retried into a different byte sequence; no exception leaves this file.
#include "audiofile/foreign.h"

#include "audiofile/detect.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

namespace audiofile {

namespace {

constexpr std::size_t window_bytes = std::size_t{1} << 20;
constexpr std::int64_t read_ahead_limit = window_bytes / 2;
constexpr std::size_t stream_step = window_bytes / 4; // at most one read(2) of this much at once
constexpr sf_count_t pipe_length = sf_count_t{1} << 48;
// A live handle decodes this many frames per refill (about 0.1 s at 44.1 kHz).
constexpr std::size_t live_frames = 4096;

// The containers taken from libsndfile; the rest it reads are refused as not recognised.
constexpr std::array<int, 5> taken_formats = {SF_FORMAT_FLAC, SF_FORMAT_OGG, SF_FORMAT_MPEG,
                                              SF_FORMAT_W64, SF_FORMAT_CAF};

// How frames are taken from libsndfile: sf_readf_short, _int, _float or _double; float_bits:
// sf_readf_int for 32-bit words that are the bits of singles (see w64_extensible_float).
enum class Reading { shorts, ints, floats, doubles, float_bits };

struct SndfileCloser {
    void operator()(SNDFILE* sndfile) const { sf_close(sndfile); }
};

// The bytes of the file as libsndfile sees them (see the diagram above).
struct Source {
    std::optional<std::int64_t> start; // regular file: where the file begins in it
    int fd = -1;                       // regular file
    std::int64_t length = 0;           // regular file: bytes from `start` to its end
    std::FILE* stream = nullptr;       // any other stream
    std::vector<std::uint8_t> consumed;
    std::vector<std::uint8_t> window;      // position p of the stream's bytes at window[p % size]
    std::int64_t end = 0;                  // position after the last byte taken from the stream
    bool ended = false;                    // the stream has no more
    std::int64_t position = 0;             // libsndfile's
    int error = 0;                         // system error of a failed read; it ends the reading
    std::optional<std::int64_t> mended_at; // 8 bytes shown as `mended` (mend_caf_data_size)
    std::array<std::uint8_t, 8> mended{};
};

// One refill's worth of decoded frames, and how the decoding stood after it.
struct Block {
    std::size_t frames = 0;
    int error = 0;       // system error number; EIO for libsndfile's own failures
    std::string message; // libsndfile's text for its own failures
};

// Decoding ahead, on a thread of its own, for regular files: while the run encodes the block in
// the handle's buffer, the next block is decoded into `spare`; a refill swaps the two buffers.
//   worker:  wait until !ready ─► decode into spare ─► ready = true ─► (again, until the end)
//   refill:  wait until ready  ─► swap spare and the handle's buffer ─► ready = false
// The worker alone uses libsndfile once it runs. It stops after the block that ends the data
// (no frames, or a failure), or when the handle closes (stop), and is joined then.
struct Ahead {
    std::unique_ptr<SampleBuffer> spare;
    std::thread worker;
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false; // spare holds `block`
    bool stop = false;
    bool over = false; // the block that ended the data has been delivered
    Block block;
    ~Ahead() {
        {
            const std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (worker.joinable()) worker.join();
    }
};

} // namespace

struct ForeignDecoder {
    Source source;
    Reading reading = Reading::shorts;
    std::size_t frame_bytes = 0;                     // of the frames decoded
    bool reported = false;                           // libsndfile's failure has been printed
    std::unique_ptr<SNDFILE, SndfileCloser> sndfile; // closed after the worker has stopped
    std::unique_ptr<Ahead> ahead;                    // last: stopped first
};

void ForeignDecoderCloser::operator()(ForeignDecoder* decoder) const {
    std::unique_ptr<ForeignDecoder> owned(decoder);
}

namespace {

// ---- Regular files: where the bytes lie ------------------------------------------------------

std::size_t read_regular(Source& s, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size() && s.error == 0) {
        const std::int64_t at = s.position + static_cast<std::int64_t>(done);
        if (at >= s.length) break;
        const ssize_t n =
            pread(s.fd, out.data() + done, out.size() - done, static_cast<off_t>(*s.start + at));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            s.error = errno != 0 ? errno : EIO;
        }
    }
    return done;
}

// ---- Other streams: consumed bytes, then the window ------------------------------------------

// Takes up to n bytes from the stream into the window at `end`; false when none came. A signal
// that interrupts the wait is not the end: the read goes on.
bool take_from_stream(Source& s, std::size_t n) {
    if (s.ended || s.error != 0) return false;
    const std::size_t size = s.window.size();
    const std::size_t at = static_cast<std::size_t>(s.end) % size;
    n = std::min({n, stream_step, size - at});
    std::size_t got = 0;
    while (got < n) {
        errno = 0;
        got += std::fread(s.window.data() + at + got, 1, n - got, s.stream);
        if (got == n) break;
        if (!std::ferror(s.stream)) {
            s.ended = true;
            break;
        }
        if (errno != EINTR) {
            s.error = errno != 0 ? errno : EIO;
            break;
        }
        std::clearerr(s.stream);
    }
    s.end += static_cast<std::int64_t>(got);
    return got > 0;
}

std::size_t read_piped(Source& s, std::span<std::uint8_t> out) {
    const auto kept = static_cast<std::int64_t>(s.consumed.size());
    const auto size = static_cast<std::int64_t>(s.window.size());
    std::size_t done = 0;
    while (done < out.size()) {
        const std::int64_t p = s.position + static_cast<std::int64_t>(done);
        const std::span<std::uint8_t> rest = out.subspan(done);
        std::size_t n = 0;
        if (p < kept) {
            n = static_cast<std::size_t>(std::min<std::int64_t>(kept - p, std::ssize(rest)));
            std::copy_n(s.consumed.begin() + p, n, rest.begin());
        } else if (p < std::max(kept, s.end - size)) {
            break; // behind the window: gone
        } else if (p < s.end) {
            const std::int64_t at = p % size;
            n = static_cast<std::size_t>(
                std::min({s.end - p, size - at, static_cast<std::int64_t>(rest.size())}));
            std::copy_n(s.window.begin() + at, n, rest.begin());
        } else if (p - s.end > read_ahead_limit ||
                   !take_from_stream(s, static_cast<std::size_t>(p - s.end) + rest.size())) {
            break;
        }
        done += n;
    }
    return done;
}

// ---- libsndfile's virtual I/O ----------------------------------------------------------------

Source& source_of(void* user) {
    return *static_cast<Source*>(user);
}

sf_count_t vio_length(void* user) {
    const Source& s = source_of(user);
    return s.start ? s.length : pipe_length;
}

sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
    Source& s = source_of(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = s.position;
    } else if (whence == SEEK_END) {
        if (!s.start) return -1; // a pipe's end cannot be found without reading it all
        base = s.length;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && offset > pipe_length - base)) return -1;
    s.position = base + offset;
    return s.position;
}

// The file's bytes at libsndfile's position, with the mended ones in their place.
std::size_t read_source(Source& s, std::span<std::uint8_t> out) {
    const std::size_t got = s.start ? read_regular(s, out) : read_piped(s, out);
    for (std::size_t i = 0; s.mended_at && i < s.mended.size(); ++i) {
        const std::int64_t at = *s.mended_at + static_cast<std::int64_t>(i) - s.position;
        if (at >= 0 && at < static_cast<std::int64_t>(got))
            out[static_cast<std::size_t>(at)] = s.mended[i];
    }
    return got;
}

sf_count_t vio_read(void* to, sf_count_t count, void* user) {
    Source& s = source_of(user);
    if (count <= 0) return 0;
    const std::span out(static_cast<std::uint8_t*>(to), static_cast<std::size_t>(count));
    const std::size_t got = read_source(s, out);
    s.position += static_cast<std::int64_t>(got);
    return static_cast<sf_count_t>(got);
}

sf_count_t vio_write(const void*, sf_count_t, void*) {
    return 0; // read access only
}

sf_count_t vio_tell(void* user) {
    return source_of(user).position;
}

SF_VIRTUAL_IO virtual_io = {vio_length, vio_seek, vio_read, vio_write, vio_tell};

// ---- What the handle delivers ----------------------------------------------------------------

Reading reading_of(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_DWVW_N:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
        return Reading::ints;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return Reading::floats;
    case SF_FORMAT_DOUBLE:
        return Reading::doubles;
    default: // 8- and 16-bit integers, and what companded and ADPCM encodings expand to
        return Reading::shorts;
    }
}

constexpr std::int32_t sample_type_of(Reading reading) {
    switch (reading) {
    case Reading::shorts:
        return ST_DECODED_PCM16;
    case Reading::ints:
        return ST_DECODED_PCM32;
    case Reading::floats:
    case Reading::float_bits:
        return ST_DECODED_FLOAT32;
    case Reading::doubles:
        return ST_DECODED_FLOAT64;
    }
    return ST_DECODED_PCM16;
}

// Reads bytes at `at` without moving libsndfile's position.
bool peek(Source& s, std::int64_t at, std::span<std::uint8_t> out) {
    const std::int64_t position = s.position;
    s.position = at;
    const std::size_t got = s.start ? read_regular(s, out) : read_piped(s, out);
    s.position = position;
    return got == out.size();
}

// Streaming writers (ffmpeg on a pipe) give a CAF file's "data" chunk the size -1, "up to the end
// of the file", which libsndfile 1.2 refuses as malformed. libsndfile is shown instead the size
// that reaches the end of the file (on a pipe, of the length it is told). The header is walked
// as far as the "data" chunk, within its first 64 chunks:
//   0: "caff", version, flags   8: chunks: type (4), size (8, big-endian), body
void mend_caf_data_size(Source& s) {
    constexpr int most_chunks = 64;
    constexpr std::uint64_t to_the_end = UINT64_MAX;
    std::array<std::uint8_t, 12> chunk{};
    if (!peek(s, 0, std::span(chunk).first(8)) || std::memcmp(chunk.data(), "caff", 4) != 0) return;
    const std::int64_t length = vio_length(&s); // as libsndfile is told it
    std::int64_t at = 8;
    for (int i = 0; i < most_chunks && peek(s, at, chunk); ++i) {
        const auto size_bytes = std::span<const std::uint8_t>(chunk).subspan(4);
        const std::uint64_t size = std::uint64_t{load_be32(size_bytes.first<4>())} << 32 |
                                   load_be32(size_bytes.subspan(4).first<4>());
        const std::int64_t body = at + static_cast<std::int64_t>(chunk.size());
        if (std::memcmp(chunk.data(), "data", 4) == 0) {
            if (size != to_the_end || body >= length) return;
            const auto real = static_cast<std::uint64_t>(length - body);
            for (std::size_t b = 0; b < s.mended.size(); ++b)
                s.mended[b] = static_cast<std::uint8_t>(real >> (8 * (7 - b)));
            s.mended_at = at + 4;
            return;
        }
        if (size > static_cast<std::uint64_t>(length - body)) return;
        at = body + static_cast<std::int64_t>(size);
    }
}

// libsndfile 1.2 takes a W64 file whose "fmt " chunk is extensible (tag FFFE) with the IEEE float
// sub-format for 32-bit integers, which is how ffmpeg writes float W64 files. The integers'
// bits are the floats, so such a file is read as integers and delivered as singles, unchanged.
// The "fmt " chunk is looked for where writers put it: first, at byte 40.
//   40: "fmt " GUID (16)  56: size (8)  64: tag  66..87: fields  88: sub-format GUID, its tag first
bool w64_extensible_float(Source& s) {
    constexpr std::array<std::uint8_t, 16> fmt_guid = {0x66, 0x6D, 0x74, 0x20, 0xF3, 0xAC,
                                                       0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0,
                                                       0x4F, 0x8E, 0xDB, 0x8A};
    constexpr std::uint16_t extensible = 0xFFFE, ieee_float = 3;
    std::array<std::uint8_t, 50> chunk{};
    if (!peek(s, 40, chunk) || !std::equal(fmt_guid.begin(), fmt_guid.end(), chunk.begin()))
        return false;
    const auto tag = [&](std::size_t at) {
        return load_le16(std::span<const std::uint8_t>(chunk).subspan(at).first<2>());
    };
    return tag(24) == extensible && tag(48) == ieee_float;
}

Reading reading_for(int format, Source& s) {
    const bool w64_pcm32 = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_W64 &&
                           (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_32;
    if (w64_pcm32 && w64_extensible_float(s)) return Reading::float_bits;
    return reading_of(format);
}

bool taken(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    return std::find(taken_formats.begin(), taken_formats.end(), major) != taken_formats.end();
}

// The count a regular file's container gives; MP3 has none that libsndfile can vouch for (it
// estimates from the size when no header says it), so it is read to its end. Through a pipe,
// only FLAC's count is taken: its header holds the count itself, or 0 when the writer could not
// go back to fill it in, where the other containers' sizes may be placeholders. A FLAC file cut
// short on its way through a pipe then ends with the note that the data ended early.
std::optional<sf_count_t> frame_count(const SF_INFO& sf, const Source& source) {
    const int major = sf.format & SF_FORMAT_TYPEMASK;
    const bool counted = major != SF_FORMAT_MPEG && (source.start || major == SF_FORMAT_FLAC);
    if (!counted || sf.frames <= 0 || sf.frames == SF_COUNT_MAX) return {};
    return sf.frames;
}

int describe(const SF_INFO& sf, const Source& source, Reading reading, AudioInfo& info) {
    if (sf.channels < 1 || sf.samplerate < 1) {
        std::fprintf(stderr, "libsndfile: %d channels at %d Hz not supported\n", sf.channels,
                     sf.samplerate);
        return -1;
    }
    info.channels = sf.channels;
    info.sampling_frequency = sf.samplerate;
    info.sample_type = sample_type_of(reading);
    info.data_offset = -1;
    info.comment[0] = '\0';
    set_reader_defaults(info);
    if (const auto frames = frame_count(sf, source))
        return store_sample_count(static_cast<std::uint64_t>(*frames), info);
    info.num_samples = 0;
    info.num_samples_known = false;
    return 0;
}

// Where libsndfile will find the bytes (the window's memory may throw std::bad_alloc).
void prepare_source(Source& s, std::FILE* stream, ForeignInput& input) {
    if (input.start) {
        const std::optional<std::uint64_t> size = regular_file_size(stream);
        s.start = input.start;
        s.fd = fileno(stream);
        s.length = size && *size > static_cast<std::uint64_t>(*input.start)
                       ? static_cast<std::int64_t>(*size) - *input.start
                       : 0;
        return;
    }
    s.stream = stream;
    s.consumed = std::move(input.consumed);
    s.end = static_cast<std::int64_t>(s.consumed.size());
    s.window.resize(window_bytes);
}

} // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer) // clang
#define VANTREL_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) // g++
#define VANTREL_ADDRESS_SANITIZER 1
#endif

#if defined(VANTREL_ADDRESS_SANITIZER)
// Under AddressSanitizer (tests, fuzzing): libsndfile's Ogg path leaves the vorbis_info of a
// malformed file allocated, and other error paths of the decoders below it may do the same.
// Those leaks are theirs, once per refused file, and not ours to mend: LeakSanitizer is told
// to pass over leaks allocated inside those libraries, and reports every other one.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsndfile.so\nleak:libvorbis.so\nleak:libvorbisenc.so\nleak:libogg.so\n"
           "leak:libFLAC.so\nleak:libopus.so\nleak:libmpg123.so\nleak:libmp3lame.so\n";
}
#endif

bool is_decoded_type(std::int32_t sample_type) {
    return sample_type >= ST_DECODED_PCM16 && sample_type <= ST_DECODED_FLOAT64;
}

int foreign_open(AudioFile& file, AudioInfo& info, ForeignInput input) {
    ForeignDecoderPtr decoder;
    try {
        decoder.reset(std::make_unique<ForeignDecoder>().release());
        prepare_source(decoder->source, file.stream.get(), input);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        std::perror("libsndfile");
        return -1;
    }
    mend_caf_data_size(decoder->source);
    SF_INFO sf{};
    decoder->sndfile.reset(sf_open_virtual(&virtual_io, SFM_READ, &sf, &decoder->source));
    if (!decoder->sndfile) {
        if (decoder->source.error != 0) {
            std::fprintf(stderr, "\nError reading inputfile: %s\n",
                         std::strerror(decoder->source.error));
            return READ_FAILED;
        }
        if (sf_error(nullptr) != SF_ERR_UNRECOGNISED_FORMAT)
            std::fprintf(stderr, "libsndfile: %s\n", sf_strerror(nullptr));
        return NOT_RECOGNIZED;
    }
    if (!taken(sf.format)) return NOT_RECOGNIZED;
    decoder->reading = reading_for(sf.format, decoder->source);
    const std::size_t sample_bytes = decoder->reading == Reading::shorts    ? 2
                                     : decoder->reading == Reading::doubles ? 8
                                                                            : 4;
    decoder->frame_bytes = sample_bytes * static_cast<std::size_t>(sf.channels);
    if (describe(sf, decoder->source, decoder->reading, info) != 0) return -1;
    file.decoder = std::move(decoder);
    return 0;
}

namespace {

// Decodes up to `frames` frames into `bytes`.
Block decode_block(ForeignDecoder& d, std::span<std::byte> bytes, std::size_t frames) {
    SNDFILE* s = d.sndfile.get();
    const auto n = static_cast<sf_count_t>(frames);
    void* to = bytes.data();
    sf_count_t got = 0;
    switch (d.reading) {
    case Reading::shorts:
        got = sf_readf_short(s, static_cast<short*>(to), n);
        break;
    case Reading::ints:
    case Reading::float_bits:
        got = sf_readf_int(s, static_cast<int*>(to), n);
        break;
    case Reading::floats:
        got = sf_readf_float(s, static_cast<float*>(to), n);
        break;
    case Reading::doubles:
        got = sf_readf_double(s, static_cast<double*>(to), n);
        break;
    }
    Block block;
    block.frames = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got < n) {
        if (d.source.error != 0) {
            block.error = d.source.error;
        } else if (sf_error(s) != SF_ERR_NO_ERROR) {
            block.error = EIO;
            block.message = sf_strerror(s);
        }
    }
    return block;
}

std::span<std::byte> bytes_of(SampleBuffer& buffer) {
    return std::as_writable_bytes(std::span(buffer));
}

void decode_ahead(ForeignDecoder& d) {
    Ahead& a = *d.ahead;
    const std::size_t frames = SAMPLE_BUFFER_BYTES / d.frame_bytes;
    for (bool more = true; more;) {
        {
            std::unique_lock lock(a.mutex);
            a.changed.wait(lock, [&] { return a.stop || !a.ready; });
            if (a.stop) return;
        }
        Block block = decode_block(d, bytes_of(*a.spare), frames); // spare is the worker's now
        more = block.frames > 0 && block.error == 0;
        {
            const std::lock_guard lock(a.mutex);
            a.block = std::move(block);
            a.ready = true;
        }
        a.changed.notify_all();
    }
}

// Starts decoding ahead where it helps and can be had: a regular file (a pipe's reads may wait
// on the writer, and a live handle wants its frames as they come). False to decode in place.
bool start_ahead(AudioFile& file) {
    ForeignDecoder& d = *file.decoder;
    if (!d.source.start || file.live) return false;
    try {
        auto ahead = std::make_unique<Ahead>();
        ahead->spare = std::make_unique<SampleBuffer>();
        d.ahead = std::move(ahead);
        d.ahead->worker = std::thread(decode_ahead, std::ref(d));
        return true;
    } catch (const std::exception&) { // no memory or no thread: decode in place
        d.ahead.reset();
        return false;
    }
}

// The next block from the worker, in the handle's buffer.
Block take_ahead(AudioFile& file) {
    Ahead& a = *file.decoder->ahead;
    if (a.over) return {};
    Block block;
    {
        std::unique_lock lock(a.mutex);
        a.changed.wait(lock, [&] { return a.ready; });
        std::swap(file.buffer, a.spare);
        block = std::move(a.block);
        a.ready = false;
    }
    a.changed.notify_all();
    a.over = block.frames == 0 || block.error != 0;
    return block;
}

} // namespace

std::size_t foreign_read(AudioFile& file, std::size_t frame_bytes) {
    ForeignDecoder& d = *file.decoder;
    if (frame_bytes != d.frame_bytes || file.read_error != 0 || !file.buffer) return 0;
    Block block;
    if (d.ahead || (!d.reported && start_ahead(file))) {
        block = take_ahead(file);
    } else {
        const std::size_t fit = SAMPLE_BUFFER_BYTES / frame_bytes;
        block =
            decode_block(d, bytes_of(*file.buffer), file.live ? std::min(fit, live_frames) : fit);
    }
    if (!block.message.empty() && !d.reported)
        std::fprintf(stderr, "\nlibsndfile: %s\n", block.message.c_str());
    d.reported = d.reported || !block.message.empty();
    if (block.error != 0) file.read_error = block.error;
    return block.frames;
}

} // namespace audiofile
