// The reader of last resort: a file that the five readers refuse is handed to libsndfile, which
// decodes FLAC, Ogg (Vorbis, Opus), MP3, Sony Wave64 and CAF. Writing and keeping decoders for
// five codecs by hand would be most of this library again; libsndfile is Debian's well-kept one.
//
// libsndfile reads through virtual I/O, which serves it the file from its first byte:
//
//   regular file    pread at start + position; the real length; every seek works
//
//   pipe            the bounded replay of replay.h: the file's first bytes held (up to 16 MiB,
//                   as far as libsndfile reads while it opens the file), the last 1 MiB taken,
//                   and reads a little ahead taken from the stream. Its length is told as 2^48
//                   (unknowable; libsndfile refuses -1), or as the real one when the stream has
//                   already ended before libsndfile begins (a short file: then it is read as a
//                   file by name is). A seek from an unknown end is refused, so MP3's probe for
//                   a trailing tag is skipped.
//
// The same bytes by name and through a pipe give the same samples and the same count:
//   - the count is what the container declares (FLAC's STREAMINFO; the data chunk of W64 and
//     CAF, read here, since libsndfile takes W64's from the file's size and refuses a CAF whose
//     data reaches past the end); a file cut short then ends with the frames that are there
//     and the run says that its data ended early. Ogg and MP3 declare none a pipe can show.
//   - CAF and W64 headers are walked here before libsndfile sees them (on a pipe, within what
//     may be held): a CAF whose data size runs "to the end" (-1, as ffmpeg streams it) or past
//     the end of a file is shown the size that reaches the end.
//   - a failure of libsndfile once the input has run out is the file being cut short, not
//     damage: the data ends there, with what was decoded.
//   - what a pipe cannot serve within its bounds (ALAC's last packet, read before the first)
//     refuses the file with a message that says to read it by name.
//
// Decoded frames go straight into the handle's buffer, in the host's byte order, as the sample
// type says (ST_DECODED_*): 8/16-bit sources as 16-bit integers, 24/32-bit ones as 32-bit
// integers, float and lossy sources as singles, double ones as doubles. Lossless sources give
// exactly their samples.
//
// Channels are delivered in the order of their speakers' bits in the channel mask (the WAVE
// order: front left, front right, centre, LFE, back left, back right, ..., side left, side
// right), whatever order the container stores them in, and channel_mask names the speakers.
// The speakers are those libsndfile reports (W64, CAF); FLAC and Ogg report none here, and
// their formats' own orders for 1 to 8 channels apply (checked against files that ffmpeg
// writes and libsndfile decodes):
//   FLAC        3 L R C, 4 L R BL BR, 5 L R C BL BR, 6 L R C LFE BL BR, 7 L R C LFE BC SL SR,
//               8 L R C LFE BL BR SL SR          (already the WAVE order)
//   Vorbis/Opus 3 L C R, 4 L R BL BR, 5 L C R BL BR, 6 L C R BL BR LFE, 7 L C R SL SR BC LFE,
//               8 L C R SL SR BL BR LFE          (reordered)
// A report that names a speaker twice, or one beyond side right, leaves the layout unknown
// (channel_mask 0) and the channels as stored; so does MP3, and any file of more than 8.
//
// Invariants: memory is bounded whatever the stream's length (the replay's bounds, libsndfile's
// own buffers); a read failure of the stream is kept and ends the decoding, never retried into a
// different byte sequence; no exception leaves this file.
#include "audiofile/foreign.h"

#include "audiofile/detect.h"
#include "audiofile/ffmpeg.h"
#include "audiofile/replay.h"

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

constexpr sf_count_t pipe_length = sf_count_t{1} << 48; // what libsndfile is told of a pipe
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
    std::optional<std::int64_t> start;     // regular file: where the file begins in it
    int fd = -1;                           // regular file
    std::int64_t length = 0;               // regular file: bytes from `start` to its end
    int error = 0;                         // regular file: system error of a failed read
    ReplayStream replay;                   // any other stream
    sf_count_t told_length = 0;            // what libsndfile is told (vio_length)
    bool ran_out = false;                  // a read came back short: the input has no more
    std::int64_t position = 0;             // libsndfile's
    std::optional<std::int64_t> mended_at; // 8 bytes shown as `mended` (read_caf_header)
    std::array<std::uint8_t, 8> mended{};
    bool declared = false;               // the container's header declares the length of its data
    std::optional<std::uint64_t> frames; // ... and it says how many frames that is
};

// Where each delivered channel comes from, in the order of the speakers' bits.
struct ChannelOrder {
    std::uint32_t mask = 0;            // the speakers; 0 when not known
    bool reordered = false;            // some channel is delivered elsewhere than stored
    std::array<std::size_t, 8> from{}; // delivered channel k is stored channel from[k]
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
    ChannelOrder order;
    const char* format = "This"; // the container's name, for messages
    std::size_t channels = 0;
    std::size_t frame_bytes = 0;                     // of the frames decoded
    bool marks_unwritten = false;                    // see mark_unwritten
    bool reported = false;                           // libsndfile's failure has been printed
    std::unique_ptr<SNDFILE, SndfileCloser> sndfile; // closed after the worker has stopped
    // A file that FFmpeg decodes instead (ffmpeg.h): the module, its view of the source, and
    // its decoder, closed after the worker has stopped.
    const FfmpegModule* ffmpeg = nullptr;
    FfmpegInput ffmpeg_input{};
    FfmpegDecoder* ffmpeg_decoder = nullptr;
    std::array<char, sizeof(FfmpegStream::format)> ffmpeg_format{};
    std::unique_ptr<Ahead> ahead; // last: stopped first
    ForeignDecoder() = default;
    ForeignDecoder(const ForeignDecoder&) = delete;
    ForeignDecoder& operator=(const ForeignDecoder&) = delete;
    ~ForeignDecoder() {
        ahead.reset();
        if (ffmpeg_decoder != nullptr) ffmpeg->close(ffmpeg_decoder);
    }
};

void ForeignDecoderCloser::operator()(ForeignDecoder* decoder) const {
    std::unique_ptr<ForeignDecoder> owned(decoder);
}

namespace {

// ---- Where the bytes lie ---------------------------------------------------------------------

std::size_t read_regular(Source& s, std::int64_t at, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size() && s.error == 0) {
        const std::int64_t p = at + static_cast<std::int64_t>(done);
        if (p < 0 || p >= s.length) break;
        const ssize_t n =
            pread(s.fd, out.data() + done, out.size() - done, static_cast<off_t>(*s.start + p));
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

// The file's bytes at `at`, from where they lie; a short count at the end of the input marks
// that the input ran out.
std::size_t read_at(Source& s, std::int64_t at, std::span<std::uint8_t> out) {
    std::size_t got = 0;
    try {
        got = s.start ? read_regular(s, at, out) : replay_read(s.replay, at, out);
    } catch (const std::bad_alloc&) { // the replay's memory: nothing more can be read
        s.replay.error = ENOMEM;
    }
    const bool at_the_end = s.start ? s.error == 0 : s.replay.ended;
    if (got < out.size() && at_the_end) s.ran_out = true;
    return got;
}

int source_error(const Source& s) {
    return s.start ? s.error : s.replay.error;
}

bool length_known(const Source& s) {
    return s.told_length != pipe_length;
}

// ---- libsndfile's virtual I/O ----------------------------------------------------------------

Source& source_of(void* user) {
    return *static_cast<Source*>(user);
}

sf_count_t vio_length(void* user) {
    return source_of(user).told_length;
}

sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
    Source& s = source_of(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = s.position;
    } else if (whence == SEEK_END) {
        if (!length_known(s)) return -1; // a pipe's end cannot be found without reading it all
        base = s.told_length;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    // Past the end is allowed (reads there give nothing), the same for a file and a pipe,
    // whatever length each is told; only where the sum could overflow is refused.
    constexpr sf_count_t farthest = sf_count_t{1} << 62;
    if ((offset < 0 && base + offset < 0) || (offset > 0 && offset > farthest - base)) return -1;
    s.position = base + offset;
    return s.position;
}

// The file's bytes at libsndfile's position, with the mended ones in their place.
std::size_t read_source(Source& s, std::span<std::uint8_t> out) {
    const std::size_t got = read_at(s, s.position, out);
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

// ---- FFmpeg's view of the same bytes ----------------------------------------------------------
// The same positions, seeks and reads as libsndfile's; a pipe's length is told only once the
// stream has ended (-1 before: FFmpeg then looks for nothing at the end).

int ffmpeg_read(void* user, std::uint8_t* to, int size) {
    Source& s = source_of(user);
    if (size <= 0) return 0;
    const std::size_t got = read_source(s, std::span(to, static_cast<std::size_t>(size)));
    s.position += static_cast<std::int64_t>(got);
    return got == 0 && source_error(s) != 0 ? -1 : static_cast<int>(got);
}

std::int64_t ffmpeg_seek(void* user, std::int64_t offset, int whence) {
    Source& s = source_of(user);
    if (!s.start) s.told_length = replay_length(s.replay).value_or(pipe_length);
    if (whence == FFMPEG_SEEK_SIZE) return length_known(s) ? s.told_length : -1;
    return vio_seek(offset, whence, user);
}

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
    return read_at(s, at, out) == out.size();
}

// ---- The headers walked here -----------------------------------------------------------------

// What a CAF or W64 header declares of its data chunk.
struct HeaderWalk {
    const char* format = nullptr; // "CAF" or "W64": the file begins as one
    bool data_found = false;
    std::int64_t data_size_at = 0; // where the chunk's 8-byte size lies
    std::int64_t data_body = 0;    // where the chunk's body begins
    std::uint64_t data_size = 0;   // as declared
    bool declared = false;         // the size is a real one, not "to the end" or a placeholder
    bool alac = false;             // CAF: ALAC packets (see walk_header)
    bool broken = false;           // a chunk before the data is larger than any file (2^62)
    std::optional<std::uint64_t> frames; // the frames that size holds, where it tells
};

constexpr int most_chunks = 64;

std::uint64_t load_be64(std::span<const std::uint8_t, 8> b) {
    return std::uint64_t{load_be32(b.first<4>())} << 32 | load_be32(b.last<4>());
}
std::uint64_t load_le64(std::span<const std::uint8_t, 8> b) {
    return std::uint64_t{load_le32(b.last<4>())} << 32 | load_le32(b.first<4>());
}

// The position after a chunk body of `size` bytes at `body`, or none past 2^62 (no file has it).
std::optional<std::int64_t> after(std::int64_t body, std::uint64_t size) {
    constexpr std::uint64_t far = std::uint64_t{1} << 62;
    if (size >= far || static_cast<std::uint64_t>(body) >= far) return {};
    return body + static_cast<std::int64_t>(size);
}

// A CAF header, walked to its "data" chunk within the first 64 chunks:
//   0: "caff", version, flags     8: chunks: type (4), size (8, big-endian), body
//   "desc" body: rate (8), format (4), flags (4), bytes per packet (4), frames per packet (4) ...
//   "pakt" body: packets (8), valid frames (8), ...: the packet table of a compressed format
//   "data" body: edit count (4), then the packets; a size of -1 runs "to the end of the file"
// PCM has fixed packets, so the data's size tells the frames; ALAC's packet table tells them.
HeaderWalk walk_caf(Source& s) {
    HeaderWalk w;
    std::array<std::uint8_t, 12> chunk{};
    if (!peek(s, 0, std::span(chunk).first(8)) || std::memcmp(chunk.data(), "caff", 4) != 0)
        return w;
    w.format = "CAF";
    std::uint32_t packet_bytes = 0, packet_frames = 0;
    std::optional<std::uint64_t> table_frames;
    std::optional<std::int64_t> at = 8;
    for (int i = 0; i < most_chunks && at && peek(s, *at, chunk); ++i) {
        const std::uint64_t size = load_be64(std::span(chunk).last<8>());
        const std::int64_t body = *at + static_cast<std::int64_t>(chunk.size());
        std::array<std::uint8_t, 24> desc{};
        if (std::memcmp(chunk.data(), "desc", 4) == 0 && peek(s, body, desc)) {
            packet_bytes = load_be32(std::span(desc).subspan<16, 4>());
            packet_frames = load_be32(std::span(desc).subspan<20, 4>());
            w.alac = std::memcmp(desc.data() + 8, "alac", 4) == 0;
        }
        std::array<std::uint8_t, 16> table{};
        if (std::memcmp(chunk.data(), "pakt", 4) == 0 && peek(s, body, table))
            table_frames = load_be64(std::span(table).last<8>());
        if (std::memcmp(chunk.data(), "data", 4) == 0) {
            constexpr std::uint64_t to_the_end = UINT64_MAX, edit_count = 4;
            w.data_found = true;
            w.data_size_at = *at + 4;
            w.data_body = body;
            w.data_size = size;
            w.declared = size != to_the_end;
            if (w.declared && size >= edit_count && packet_bytes > 0)
                w.frames = (size - edit_count) / packet_bytes * packet_frames;
            if (w.declared && packet_bytes == 0) w.frames = table_frames;
            return w;
        }
        at = after(body, size);
        w.broken = !at;
    }
    return w;
}

// A W64 header, walked to its "data" chunk within the first 64 chunks. Every chunk is a GUID
// (16 bytes, the first four naming it) and a size (8, little-endian, counting these 24 bytes),
// its body padded to a multiple of 8:
//   0: "riff" GUID, size, "wave" GUID    40: chunks    "fmt " body: tag, channels, rate,
//   bytes per second, block align (2, at 12)
// A size of less than 24 or of 2^62 and more is a streaming writer's placeholder.
HeaderWalk walk_w64(Source& s) {
    constexpr std::array<std::uint8_t, 12> guid_tail = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                                        0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    constexpr std::array<std::uint8_t, 16> riff = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                                   0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    const auto named = [&](std::span<const std::uint8_t> guid, const char* name) {
        return std::memcmp(guid.data(), name, 4) == 0 &&
               std::equal(guid_tail.begin(), guid_tail.end(), guid.begin() + 4);
    };
    HeaderWalk w;
    std::array<std::uint8_t, 40> start{};
    if (!peek(s, 0, start) || !std::equal(riff.begin(), riff.end(), start.begin()) ||
        !named(std::span(start).subspan(24), "wave"))
        return w;
    w.format = "W64";
    std::uint16_t block_align = 0;
    std::array<std::uint8_t, 24> chunk{};
    std::optional<std::int64_t> at = 40;
    for (int i = 0; i < most_chunks && at && peek(s, *at, chunk); ++i) {
        const std::uint64_t size = load_le64(std::span(chunk).last<8>());
        const std::int64_t body = *at + static_cast<std::int64_t>(chunk.size());
        std::array<std::uint8_t, 14> fmt{};
        if (named(chunk, "fmt ") && peek(s, body, fmt))
            block_align = load_le16(std::span(fmt).subspan<12, 2>());
        if (named(chunk, "data")) {
            w.data_found = true;
            w.data_size_at = *at + 16;
            w.data_body = body;
            w.data_size = size;
            w.declared = size >= chunk.size() && after(body, size).has_value();
            if (w.declared && block_align > 0) w.frames = (size - chunk.size()) / block_align;
            return w;
        }
        if (size < chunk.size()) return w;
        at = after(*at, size);
        w.broken = !at;
        if (at) *at = (*at + 7) / 8 * 8;
    }
    return w;
}

// What libsndfile is shown of a data chunk whose size runs "to the end" (CAF's -1, as ffmpeg
// streams it, which libsndfile 1.2 refuses as malformed; W64's placeholders), or past the end of
// the file (a file cut short: a CAF is refused as malformed too): the size that reaches the end
// of the length libsndfile is told, so that it reads a file by name and through a pipe alike.
// The declared size still tells the frames.
//   CAF: big-endian, the body only (at least its 4-byte edit count)
//   W64: little-endian, the chunk's 24-byte header included
void mend_data_size(Source& s, const HeaderWalk& w) {
    if (w.format == nullptr || !w.data_found) return;
    const bool caf = std::strcmp(w.format, "CAF") == 0;
    const std::int64_t room = s.told_length - w.data_body;
    const std::uint64_t counted = caf ? 0 : 24; // W64 counts the chunk's header
    if (room < 0 || (w.declared && w.data_size <= static_cast<std::uint64_t>(room) + counted))
        return;
    constexpr std::int64_t edit_count = 4; // the least a CAF data chunk holds
    const std::uint64_t shown =
        static_cast<std::uint64_t>(caf ? std::max(room, edit_count) : room) + counted;
    for (std::size_t b = 0; b < s.mended.size(); ++b)
        s.mended[b] = static_cast<std::uint8_t>(shown >> (8 * (caf ? 7 - b : b)));
    s.mended_at = w.data_size_at;
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

// The count of frames: what the container declares, the same by name and through a pipe (see
// the top of this file), so that a file cut short ends with the note that its data ended early.
// FLAC's STREAMINFO holds it (0 when the writer could not go back to fill it in); W64 and CAF
// declare the size of their data (PCM CAF and W64 from the walk here; ALAC from its packet
// table, through libsndfile). Ogg has none but its last page, which a pipe cannot show; a file,
// or a pipe that ended before libsndfile began, gives libsndfile's count. MP3 has none that
// libsndfile can vouch for (it estimates from the size when no header says it): read to its end.
std::optional<sf_count_t> frame_count(const SF_INFO& sf, const Source& s) {
    const int major = sf.format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_MPEG) return {};
    if (s.frames) return static_cast<sf_count_t>(std::min<std::uint64_t>(*s.frames, SF_COUNT_MAX));
    const bool w64_placeholder = major == SF_FORMAT_W64 && !s.declared;
    const bool counted = major == SF_FORMAT_FLAC || (major == SF_FORMAT_CAF && s.declared) ||
                         (length_known(s) && (major != SF_FORMAT_W64 || w64_placeholder));
    if (!counted || sf.frames <= 0 || sf.frames == SF_COUNT_MAX) return {};
    return sf.frames;
}

// The speakers of libsndfile's channel map entries, and of the formats' own orders.
constexpr std::array<std::pair<int, std::uint32_t>, 15> sndfile_speakers = {{
    {SF_CHANNEL_MAP_MONO, SPEAKER_FRONT_CENTER},
    {SF_CHANNEL_MAP_LEFT, SPEAKER_FRONT_LEFT},
    {SF_CHANNEL_MAP_RIGHT, SPEAKER_FRONT_RIGHT},
    {SF_CHANNEL_MAP_CENTER, SPEAKER_FRONT_CENTER},
    {SF_CHANNEL_MAP_FRONT_LEFT, SPEAKER_FRONT_LEFT},
    {SF_CHANNEL_MAP_FRONT_RIGHT, SPEAKER_FRONT_RIGHT},
    {SF_CHANNEL_MAP_FRONT_CENTER, SPEAKER_FRONT_CENTER},
    {SF_CHANNEL_MAP_REAR_CENTER, SPEAKER_BACK_CENTER},
    {SF_CHANNEL_MAP_REAR_LEFT, SPEAKER_BACK_LEFT},
    {SF_CHANNEL_MAP_REAR_RIGHT, SPEAKER_BACK_RIGHT},
    {SF_CHANNEL_MAP_LFE, SPEAKER_LOW_FREQUENCY},
    {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, SPEAKER_FRONT_LEFT_OF_CENTER},
    {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, SPEAKER_FRONT_RIGHT_OF_CENTER},
    {SF_CHANNEL_MAP_SIDE_LEFT, SPEAKER_SIDE_LEFT},
    {SF_CHANNEL_MAP_SIDE_RIGHT, SPEAKER_SIDE_RIGHT},
}};

constexpr std::uint32_t L = SPEAKER_FRONT_LEFT, R = SPEAKER_FRONT_RIGHT, C = SPEAKER_FRONT_CENTER,
                        LFE = SPEAKER_LOW_FREQUENCY, BL = SPEAKER_BACK_LEFT,
                        BR = SPEAKER_BACK_RIGHT, BC = SPEAKER_BACK_CENTER, SL = SPEAKER_SIDE_LEFT,
                        SR = SPEAKER_SIDE_RIGHT;
using Speakers = std::array<std::uint32_t, 8>; // per stored channel; 0 for none
constexpr std::array<Speakers, 8> flac_speakers = {{{C},
                                                    {L, R},
                                                    {L, R, C},
                                                    {L, R, BL, BR},
                                                    {L, R, C, BL, BR},
                                                    {L, R, C, LFE, BL, BR},
                                                    {L, R, C, LFE, BC, SL, SR},
                                                    {L, R, C, LFE, BL, BR, SL, SR}}};
constexpr std::array<Speakers, 8> vorbis_speakers = {{{C},
                                                      {L, R},
                                                      {L, C, R},
                                                      {L, R, BL, BR},
                                                      {L, C, R, BL, BR},
                                                      {L, C, R, BL, BR, LFE},
                                                      {L, C, R, SL, SR, BC, LFE},
                                                      {L, C, R, SL, SR, BL, BR, LFE}}};

// The speakers of the stored channels: libsndfile's map, or the format's own order.
Speakers stored_speakers(SNDFILE* sndfile, const SF_INFO& sf) {
    Speakers speakers{};
    const auto channels = static_cast<std::size_t>(sf.channels);
    std::array<int, 8> map{};
    if (sf_command(sndfile, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                   static_cast<int>(channels * sizeof(int))) == SF_TRUE) {
        for (std::size_t c = 0; c < channels; ++c)
            for (const auto& [entry, speaker] : sndfile_speakers)
                if (map[c] == entry) speakers[c] = speaker;
        return speakers;
    }
    const int major = sf.format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_FLAC) return flac_speakers[channels - 1];
    if (major == SF_FORMAT_OGG) return vorbis_speakers[channels - 1];
    return speakers;
}

// The delivered order of the channels: by the speakers' bits, when every channel has a speaker
// of its own.
ChannelOrder channel_order(SNDFILE* sndfile, const SF_INFO& sf) {
    ChannelOrder order;
    if (sf.channels < 1 || sf.channels > 8) return order;
    const auto channels = static_cast<std::size_t>(sf.channels);
    const Speakers speakers = stored_speakers(sndfile, sf);
    std::uint32_t mask = 0;
    for (std::size_t c = 0; c < channels; ++c) {
        if (speakers[c] == 0 || (mask & speakers[c]) != 0) return order;
        mask |= speakers[c];
    }
    order.mask = mask;
    for (std::size_t c = 0; c < channels; ++c) order.from[c] = c;
    std::sort(order.from.begin(), order.from.begin() + sf.channels,
              [&](std::size_t x, std::size_t y) { return speakers[x] < speakers[y]; });
    for (std::size_t c = 0; c < channels; ++c) order.reordered |= order.from[c] != c;
    return order;
}

// Puts the channels of each of `frames` decoded frames in the delivered order.
void reorder_channels(const ChannelOrder& order, std::size_t channels, std::size_t frame_bytes,
                      std::span<std::byte> bytes, std::size_t frames) {
    if (!order.reordered) return;
    const std::size_t sample_bytes = frame_bytes / channels;
    std::array<std::byte, 8 * sizeof(double)> stored{};
    for (std::size_t f = 0; f < frames; ++f) {
        const auto frame = bytes.subspan(f * frame_bytes, frame_bytes);
        std::copy(frame.begin(), frame.end(), stored.begin());
        for (std::size_t c = 0; c < channels; ++c)
            std::copy_n(stored.begin() + static_cast<std::ptrdiff_t>(order.from[c] * sample_bytes),
                        sample_bytes,
                        frame.begin() + static_cast<std::ptrdiff_t>(c * sample_bytes));
    }
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

// Where libsndfile will find the bytes (a pipe's replay may throw std::bad_alloc).
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
    replay_start(s.replay, stream, std::move(input.consumed));
}

// The CAF or W64 header walked (on a pipe the walk may reach the stream's end), what libsndfile
// is told of the length, and what it is shown of the data chunk. On a pipe, libsndfile's reads
// far ahead while it opens the file go unserved (its probes for chunks after the data and for
// an Ogg file's last page, which would wait for the whole stream), except for ALAC in CAF, whose
// last packet it must read before the first.
HeaderWalk walk_header(Source& s) {
    HeaderWalk w = walk_caf(s);
    if (w.format == nullptr) w = walk_w64(s);
    if (s.start) {
        s.told_length = s.length;
    } else {
        // Recognition may have taken the whole file without meeting its end: one byte more
        // tells whether there is any.
        std::array<std::uint8_t, 1> next{};
        peek(s, s.replay.end, next);
        s.told_length = replay_length(s.replay).value_or(pipe_length);
        s.replay.reaching_far = w.alac;
    }
    s.declared = w.declared;
    s.frames = w.frames;
    mend_data_size(s, w);
    return w;
}

const char* format_name(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC:
        return "FLAC";
    case SF_FORMAT_OGG:
        return "Ogg";
    case SF_FORMAT_MPEG:
        return "MP3";
    case SF_FORMAT_W64:
        return "W64";
    case SF_FORMAT_CAF:
        return "CAF";
    default:
        return "This";
    }
}

std::string pipe_limit_message(const char* format) {
    return std::string("\n") + format +
           " file through a pipe: reading it needs more of it at once than the " +
           std::to_string(REPLAY_HELD_LIMIT >> 20) + " MiB held of a pipe; give the file by name\n";
}

// On a pipe, the bytes that libsndfile asked for while opening the file and that the replay
// could not serve: a header walk that went further ahead than may be held, bytes behind what it
// holds, and ALAC's last packet (libsndfile reads it before the first). Anything else further
// ahead is a probe for what a pipe cannot show (an Ogg file's last page, chunks after the data)
// and does no harm. True after the message.
bool pipe_falls_short(const Source& s, const HeaderWalk& walk, int format) {
    if (s.start) return false;
    const int sub = format & SF_FORMAT_SUBMASK;
    const bool alac = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_CAF && sub >= SF_FORMAT_ALAC_16 &&
                      sub <= SF_FORMAT_ALAC_32;
    const bool header_out_of_reach = walk.format != nullptr && !walk.data_found;
    if (!s.replay.lost && !(s.replay.out_of_reach && (alac || header_out_of_reach))) return false;
    std::fputs(pipe_limit_message(walk.format ? walk.format : format_name(format)).c_str(), stderr);
    return true;
}

// ---- Files for FFmpeg -------------------------------------------------------------------------

constexpr std::int32_t sample_type_of_kind(std::int32_t kind) {
    switch (kind) {
    case FFMPEG_PCM32:
        return ST_DECODED_PCM32;
    case FFMPEG_FLOAT32:
        return ST_DECODED_FLOAT32;
    case FFMPEG_FLOAT64:
        return ST_DECODED_FLOAT64;
    default:
        return ST_DECODED_PCM16;
    }
}

// A file that is recognised but that nobody here decodes: one refusal, with the conversion hint
// where FFmpeg is not there to have tried.
int refuse_undecodable(const char* format, const std::string& why, bool hint) {
    std::fprintf(stderr, "\nInputfile error: the %s file cannot be decoded (%s) !\n", format,
                 why.c_str());
    if (hint)
        std::fputs("convert it first, for example: ffmpeg -i in -fflags +bitexact out.wav\n",
                   stderr);
    return -1;
}

// The count: what FFmpeg finds declared for a lossless codec, except in CAF: ffmpeg writes its
// packet table after the audio, declaring whole packets (the last one's unused frames
// included), so a CAF file's count is the one its header declares before the audio, or none.
int describe_ffmpeg(const FfmpegStream& stream, const Source& source, AudioInfo& info) {
    info.channels = stream.channels;
    info.sampling_frequency = stream.sampling_frequency;
    info.sample_type = sample_type_of_kind(stream.sample_kind);
    info.data_offset = -1;
    info.comment[0] = '\0';
    set_reader_defaults(info);
    info.channel_mask = static_cast<std::uint32_t>(stream.channel_mask);
    const bool caf = std::strcmp(stream.format, "CAF") == 0;
    if (caf && source.frames) return store_sample_count(*source.frames, info);
    if (!caf && stream.frames >= 0)
        return store_sample_count(static_cast<std::uint64_t>(stream.frames), info);
    info.num_samples = 0;
    info.num_samples_known = false;
    return 0;
}

// Offers the file to FFmpeg after libsndfile refused it (`refusal`: libsndfile's reason when it
// recognised the file, "" when it did not). It reads the bytes as they are (nothing mended),
// from the first; on a pipe it may hold up to the replay's limit while it opens the file (an
// M4A file's index after its audio), and what lies further is out of reach: refused with the
// message that says to give the file by name.
int ffmpeg_open(AudioFile& file, AudioInfo& info, ForeignDecoderPtr decoder,
                const std::string& refusal) {
    const FfmpegModule* module = ffmpeg_module();
    if (module == nullptr) {
        if (refusal.empty()) return NOT_RECOGNIZED;
        return refuse_undecodable("input", refusal, true);
    }
    ForeignDecoder& d = *decoder;
    Source& s = d.source;
    s.position = 0;
    s.ran_out = false;
    s.mended_at.reset();
    if (!s.start) {
        s.replay.reaching_far = true;
        s.replay.out_of_reach = false;
        s.replay.lost = false;
    }
    d.ffmpeg = module;
    d.ffmpeg_input = FfmpegInput{&s, ffmpeg_read, ffmpeg_seek};
    FfmpegStream stream{};
    std::array<char, FFMPEG_TEXT_BYTES> text{};
    const std::int32_t result =
        module->open(&d.ffmpeg_input, &stream, &d.ffmpeg_decoder, text.data());
    if (!s.start) replay_stop_holding(s.replay);
    std::copy(std::begin(stream.format), std::end(stream.format), d.ffmpeg_format.begin());
    d.ffmpeg_format.back() = '\0';
    const char* format = d.ffmpeg_format[0] != '\0' ? d.ffmpeg_format.data() : "input";
    if (source_error(s) != 0) {
        std::fprintf(stderr, "\nError reading inputfile: %s\n", std::strerror(source_error(s)));
        return READ_FAILED;
    }
    // On a pipe, whatever FFmpeg asked for and did not get while opening the file (a chunk
    // that reaches further than may be held, an index past 16 MiB of audio) would make it read
    // the file otherwise than by name: refused, whatever FFmpeg made of it.
    if (!s.start && (s.replay.lost || s.replay.out_of_reach)) {
        std::fputs(pipe_limit_message(format).c_str(), stderr);
        return -1;
    }
    if (result == FFMPEG_NO_MEMORY) {
        errno = ENOMEM;
        std::perror("FFmpeg");
        return -1;
    }
    if (result == FFMPEG_UNRECOGNISED) {
        if (refusal.empty()) return NOT_RECOGNIZED;
        return refuse_undecodable(format, refusal, false);
    }
    if (result != FFMPEG_OK) return refuse_undecodable(format, text.data(), false);
    s.ran_out = false; // what opening probed for at the end is not the data running out
    d.format = d.ffmpeg_format.data();
    d.channels = static_cast<std::size_t>(stream.channels);
    d.frame_bytes =
        static_cast<std::size_t>(sample_bits(sample_type_of_kind(stream.sample_kind)) / 8) *
        d.channels;
    if (describe_ffmpeg(stream, s, info) != 0) return -1;
    file.decoder = std::move(decoder);
    return 0;
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
    HeaderWalk walk;
    try {
        decoder.reset(std::make_unique<ForeignDecoder>().release());
        prepare_source(decoder->source, file.stream.get(), input);
        walk = walk_header(decoder->source);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        std::perror("libsndfile");
        return -1;
    }
    Source& source = decoder->source;
    // libsndfile refuses such a file by name, but through a pipe, whose length it is not told,
    // may take it as one without audio: refused here, the same both ways.
    if (walk.broken)
        return refuse_undecodable(walk.format, "a chunk before the audio is larger than any file",
                                  false);
    SF_INFO sf{};
    if (source_error(source) == 0) {
        if (pipe_falls_short(source, walk, 0)) return -1;
        decoder->sndfile.reset(sf_open_virtual(&virtual_io, SFM_READ, &sf, &source));
    }
    if (source_error(source) != 0) {
        std::fprintf(stderr, "\nError reading inputfile: %s\n",
                     std::strerror(source_error(source)));
        return READ_FAILED;
    }
    if (!decoder->sndfile || !taken(sf.format)) {
        // What libsndfile knows but cannot decode (ALAC in CAF as ffmpeg writes it, say) is
        // FFmpeg's to try, and libsndfile's reason is said only if nobody decodes it.
        std::string refusal;
        if (!decoder->sndfile && sf_error(nullptr) != SF_ERR_UNRECOGNISED_FORMAT)
            refusal = std::string("libsndfile: ") + sf_strerror(nullptr);
        decoder->sndfile.reset();
        return ffmpeg_open(file, info, std::move(decoder), refusal);
    }
    if (!source.start) replay_stop_holding(source.replay);
    if (pipe_falls_short(source, walk, sf.format)) return -1;
    source.ran_out = false; // what opening probed for at the end is not the data running out
    decoder->reading = reading_for(sf.format, source);
    decoder->marks_unwritten =
        (sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && decoder->reading == Reading::floats;
    const std::size_t sample_bytes = decoder->reading == Reading::shorts    ? 2
                                     : decoder->reading == Reading::doubles ? 8
                                                                            : 4;
    decoder->format = format_name(sf.format);
    decoder->channels = static_cast<std::size_t>(sf.channels);
    decoder->frame_bytes = sample_bytes * decoder->channels;
    decoder->order = channel_order(decoder->sndfile.get(), sf);
    if (describe(sf, source, decoder->reading, info) != 0) return -1;
    info.channel_mask = decoder->order.mask;
    file.decoder = std::move(decoder);
    return 0;
}

namespace {

// libsndfile's MP3 reader, when mpg123 fails (as it does on a stream that ends inside a frame
// and whose length it was not told), returns no count for the call, though the frames decoded
// before the failure are in the caller's buffer. So that they are not lost, the buffer is filled
// first with a NaN that no decoder gives, and the whole frames written over it are counted.
constexpr std::uint32_t unwritten = 0x7FC5A5A5;

void mark_unwritten(std::span<std::byte> bytes, std::size_t values) {
    for (std::size_t i = 0; i < values; ++i)
        std::memcpy(bytes.data() + i * sizeof unwritten, &unwritten, sizeof unwritten);
}

std::size_t frames_written(std::span<const std::byte> bytes, std::size_t from, std::size_t frames,
                           std::size_t channels) {
    std::size_t f = from;
    for (; f < frames; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            std::uint32_t v = 0;
            std::memcpy(&v, bytes.data() + (f * channels + c) * sizeof v, sizeof v);
            if (v == unwritten) return f;
        }
    }
    return f;
}

// Decodes up to `frames` frames into `bytes` with FFmpeg. As with libsndfile, a failure once the
// input has run out is the file being cut short: the data ends there, with what was decoded.
Block decode_ffmpeg_block(ForeignDecoder& d, std::span<std::byte> bytes, std::size_t frames) {
    std::array<char, FFMPEG_TEXT_BYTES> text{};
    std::size_t decoded = 0;
    const std::int32_t result =
        d.ffmpeg->decode(d.ffmpeg_decoder, bytes.data(), frames, &decoded, text.data());
    Block block;
    block.frames = decoded;
    // Through a pipe, bytes that could not be served end the data early, though FFmpeg may take
    // them for its end: that is said.
    const Source& s = d.source;
    const bool short_of_pipe = !s.start && (s.replay.lost || s.replay.out_of_reach);
    if (result == FFMPEG_OK && !(short_of_pipe && decoded < frames)) return block;
    if (const int error = source_error(d.source); error != 0) {
        block.error = error;
    } else if (short_of_pipe) {
        block.error = EIO;
        block.message = pipe_limit_message(d.format);
    } else if (result == FFMPEG_NO_MEMORY) {
        block.error = ENOMEM;
    } else if (!d.source.ran_out) {
        block.error = EIO;
        block.message = std::string("\n") + d.format + " file: " + text.data() + "\n";
    }
    return block;
}

// Decodes up to `frames` frames into `bytes`, as stored. A failure of libsndfile once the input
// has run out is the file being cut short: the data ends there, with what was decoded.
Block decode_stored(ForeignDecoder& d, std::span<std::byte> bytes, std::size_t frames) {
    if (d.ffmpeg_decoder != nullptr) return decode_ffmpeg_block(d, bytes, frames);
    SNDFILE* s = d.sndfile.get();
    const auto n = static_cast<sf_count_t>(frames);
    void* to = bytes.data();
    if (d.marks_unwritten) mark_unwritten(bytes, frames * d.channels);
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
    if (got >= n) return block;
    if (const int error = source_error(d.source); error != 0) {
        block.error = error;
    } else if (!d.source.start && d.source.replay.lost) {
        block.error = EIO;
        block.message = pipe_limit_message(d.format);
    } else if (sf_error(s) != SF_ERR_NO_ERROR && !d.source.ran_out) {
        block.error = EIO;
        block.message = std::string("\nlibsndfile: ") + sf_strerror(s) + "\n";
    } else if (sf_error(s) != SF_ERR_NO_ERROR && d.marks_unwritten) {
        block.frames = frames_written(bytes, block.frames, frames, d.channels);
    }
    return block;
}

// Decodes up to `frames` frames into `bytes`, channels in the delivered order.
Block decode_block(ForeignDecoder& d, std::span<std::byte> bytes, std::size_t frames) {
    Block block = decode_stored(d, bytes, frames);
    reorder_channels(d.order, d.channels, d.frame_bytes, bytes, block.frames);
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
    if (!block.message.empty() && !d.reported) std::fputs(block.message.c_str(), stderr);
    d.reported = d.reported || !block.message.empty();
    if (block.error != 0) file.read_error = block.error;
    return block.frames;
}

} // namespace audiofile
