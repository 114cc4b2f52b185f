// The audio file library: one way to get samples out of an audio file, whatever its container.
//
//   AudioInfo info{};
//   auto file = audio_open("in.wav", "r", info);    // recognises the container by its content
//   std::array<double, 2> frame{};                  // one value per channel
//   while (audio_read(frame, *file) == 0) { ... }    // stored values, unscaled, as doubles
//   audio_close(file);
//
// Containers are recognised by what they hold, never by their names, and recognition never
// seeks, so a file arriving on standard input through a pipe ("AUDIO_FROM_STDIN") is recognised
// exactly as the same file on disk. Every sample is delivered as the number stored: an 8-bit
// sample as -128..127, a 24-bit one as -8388608..8388607, a float as the float, a G.711 (µ-law,
// A-law) code as the 16-bit value its table gives; nothing is scaled, clipped or dithered.
//
// Five containers are read by the library's own readers (Sun audio, WAVE, AIFF/AIFC, SPW, the
// 512-byte header). A file that all five refuse is handed to libsndfile, which decodes FLAC,
// Ogg Vorbis, Ogg Opus, MP3, Sony Wave64 and Core Audio (CAF) files, and what libsndfile does
// not decode to FFmpeg's libraries (M4A with AAC or ALAC, WavPack, TTA, APE, ALAC in CAF as
// ffmpeg writes it, and the rest FFmpeg reads), when the build has them; their samples come out
// decoded, in the host's byte order, with sample types of their own (ST_DECODED_*).
//
// Failures are reported where they are found, as text on standard error, and carried up as
// integer results; no exception leaves the library.
//
// Only one audio_open may run at a time (recognition uses one process-wide look-ahead record).
// An open handle is used from one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

namespace audiofile {

// Stored sample encodings. Each container has its own codes; integer encodings are two's
// complement except ST_WAVE_PCM8, which is unsigned with 128 as zero. Codes 1, 6, 15 and 20 are
// unassigned: no reader produces them, sample_bits gives them 16 and audio_read delivers nothing.
// Codes 31..36 are the G.711 codes, below.
inline constexpr std::int32_t ST_H512_PCM16 = 0;    // 16-bit, byte order by the header's marker
inline constexpr std::int32_t ST_AIFF_PCM8 = 2;     // 8-bit signed
inline constexpr std::int32_t ST_AIFF_PCM16 = 3;    // big-endian
inline constexpr std::int32_t ST_AIFF_PCM24 = 4;    // big-endian
inline constexpr std::int32_t ST_AIFF_PCM32 = 5;    // big-endian
inline constexpr std::int32_t ST_AIFC_PCM8 = 7;     // 8-bit signed
inline constexpr std::int32_t ST_AIFC_PCM16 = 8;    // big-endian
inline constexpr std::int32_t ST_AIFC_PCM24 = 9;    // big-endian
inline constexpr std::int32_t ST_AIFC_PCM32 = 10;   // big-endian
inline constexpr std::int32_t ST_SPW_FIXED16 = 11;  // big-endian 16-bit
inline constexpr std::int32_t ST_SPW_DOUBLE = 12;   // big-endian IEEE double
inline constexpr std::int32_t ST_H512_FLOAT32 = 13; // IEEE single, byte order by the marker
inline constexpr std::int32_t ST_H512_FLOAT64 = 14; // IEEE double, byte order by the marker
inline constexpr std::int32_t ST_WAVE_PCM8 = 16;    // 8-bit unsigned, 128 = zero
inline constexpr std::int32_t ST_WAVE_PCM16 = 17;   // little-endian
inline constexpr std::int32_t ST_WAVE_PCM24 = 18;   // little-endian
inline constexpr std::int32_t ST_WAVE_PCM32 = 19;   // little-endian
inline constexpr std::int32_t ST_SUN_PCM8 = 21;     // 8-bit signed
inline constexpr std::int32_t ST_SUN_PCM16 = 22;    // big-endian
inline constexpr std::int32_t ST_SUN_PCM24 = 23;    // big-endian
inline constexpr std::int32_t ST_SUN_PCM32 = 24;    // big-endian
inline constexpr std::int32_t ST_SUN_FLOAT32 = 25;  // big-endian IEEE single
inline constexpr std::int32_t ST_SUN_FLOAT64 = 26;  // big-endian IEEE double
inline constexpr std::int32_t ST_AIFC_FLOAT32 = 27; // big-endian IEEE single
inline constexpr std::int32_t ST_AIFC_FLOAT64 = 28; // big-endian IEEE double
inline constexpr std::int32_t ST_WAVE_FLOAT32 = 29; // little-endian IEEE single
inline constexpr std::int32_t ST_WAVE_FLOAT64 = 30; // little-endian IEEE double

// G.711 µ-law and A-law: one byte per sample, expanded by the standard tables to 16-bit values
// (µ-law -32124..32124, A-law -32256..32256, as sox, ffmpeg and libsndfile expand them), the same
// in every container. sample_bits gives 8 (the stored size), sample_value_bits 16. No header
// writer takes them.
inline constexpr std::int32_t ST_SUN_MULAW = 31;  // Sun encoding 1
inline constexpr std::int32_t ST_SUN_ALAW = 32;   // Sun encoding 27
inline constexpr std::int32_t ST_WAVE_MULAW = 33; // WAVE format tag 7
inline constexpr std::int32_t ST_WAVE_ALAW = 34;  // WAVE format tag 6
inline constexpr std::int32_t ST_AIFC_MULAW = 35; // AIFC compression type "ulaw" (or "ULAW")
inline constexpr std::int32_t ST_AIFC_ALAW = 36;  // AIFC compression type "alaw" (or "ALAW")

// Samples decoded by libsndfile from a FLAC, Ogg, MP3, W64 or CAF file, or by FFmpeg, in the
// host's byte order.
// They are not stored in the stream as such: no header writer takes them, and their number says
// nothing of the file's size (a compressed file decodes to many more bytes than it holds).
//   ST_DECODED_PCM16    16-bit integers: 16-bit sources as they are, 8-bit ones times 256,
//                       and what companded or ADPCM sources expand to
//   ST_DECODED_PCM32    32-bit integers: 32-bit sources as they are, 24-bit (and 20-bit) ones
//                       at the top of the word (times 256, times 4096)
//   ST_DECODED_FLOAT32  IEEE singles, full scale +-1.0: float sources as stored, and every lossy
//                       source (Vorbis, Opus, MP3, AAC) as its decoder gives it
//   ST_DECODED_FLOAT64  IEEE doubles, full scale +-1.0: double sources as stored
inline constexpr std::int32_t ST_DECODED_PCM16 = 40;
inline constexpr std::int32_t ST_DECODED_PCM32 = 41;
inline constexpr std::int32_t ST_DECODED_FLOAT32 = 42;
inline constexpr std::int32_t ST_DECODED_FLOAT64 = 43;

// The 512-byte-header marker in native order; readers of other containers store it too.
inline constexpr std::int32_t NATIVE_BYTE_ORDER_MARKER = -32000;

// The description of an audio file. The caller owns it; audio_open fills it (reading) and the
// open handle keeps a pointer to it, so it must outlive the handle and stay unchanged meanwhile.
//
// num_samples / num_samples_known:
//   known = true   num_samples is the number of sample frames the file holds, from its header or,
//                  when the header gives none, from the size of a regular file (whole frames of
//                  the file's real sample size after data_offset). Read at most that many frames;
//                  a truncated file still ends early with audio_read's -1.
//   known = false  no count could be established: the header gives none (a data length of 0 or
//                  the streaming placeholder 0xFFFFFFFF, or, read from a stream that is not a
//                  regular file, the placeholder sizes sox and arecord write to a pipe) and the
//                  stream has no size (a pipe). num_samples is then 0; read until audio_read
//                  returns -1.
// A count above 2147483647 frames is never wrapped: the open is refused with a message.
struct AudioInfo {
    std::int32_t channels = 0;           // interleaved channels
    std::int32_t sampling_frequency = 0; // Hz
    std::int32_t num_samples = 0;        // sample frames (one sample of every channel)
    std::int32_t data_blocks = 0;        // 512-byte-header format only; 0 otherwise
    std::int32_t aux_value_1 = 0;        // 512-byte-header format only; 0 otherwise
    std::int32_t aux_value_2 = 0;        // 512-byte-header format only; 0 otherwise
    std::int32_t byte_order_marker = 0;  // NATIVE_BYTE_ORDER_MARKER except for 512-byte headers
    std::int32_t ident_1 = 0;            // 32149 except for 512-byte headers
    std::int32_t ident_2 = 0;            // 123456 except for 512-byte headers
    std::int32_t aux_byte = 0;           // 512-byte-header format only; 0 otherwise
    std::int32_t aux_high = 0;           // 512-byte-header format only; 0 otherwise
    std::int32_t sample_type = 0;        // an ST_* code
    std::int32_t data_offset = 0;        // stream position of the first sample; -1 on a pipe
    std::int32_t reserved = 0;           // never read or written by the library
    std::array<char, 256> comment{};     // NUL-terminated text ("" from the WAVE reader)
    bool num_samples_known = false;      // see above
    // Which speaker each channel feeds, as the bits of an extensible WAVE's channel mask
    // (SPEAKER_* below), channel k taking the k-th lowest bit set; 0 when the file does not say.
    // Filled in by the WAVE reader from an extensible format's mask that has one bit per
    // channel (any other mask says nothing reliable: 0), and for decoded files (see "Decoded
    // files" below); the other containers name no speakers. The mixdown of more than two
    // channels is built from it.
    std::uint32_t channel_mask = 0;
};

// Speaker bits of channel_mask (the extensible WAVE assignments).
inline constexpr std::uint32_t SPEAKER_FRONT_LEFT = 0x1;
inline constexpr std::uint32_t SPEAKER_FRONT_RIGHT = 0x2;
inline constexpr std::uint32_t SPEAKER_FRONT_CENTER = 0x4;
inline constexpr std::uint32_t SPEAKER_LOW_FREQUENCY = 0x8;
inline constexpr std::uint32_t SPEAKER_BACK_LEFT = 0x10;
inline constexpr std::uint32_t SPEAKER_BACK_RIGHT = 0x20;
inline constexpr std::uint32_t SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
inline constexpr std::uint32_t SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
inline constexpr std::uint32_t SPEAKER_BACK_CENTER = 0x100;
inline constexpr std::uint32_t SPEAKER_SIDE_LEFT = 0x200;
inline constexpr std::uint32_t SPEAKER_SIDE_RIGHT = 0x400;

inline constexpr std::int32_t ACCESS_READ = 0;   // mode "r"
inline constexpr std::int32_t ACCESS_WRITE = 1;  // mode "w"
inline constexpr std::int32_t ACCESS_UPDATE = 2; // mode "r+"

inline constexpr std::size_t SAMPLE_BUFFER_BYTES = 1048576;
// Raw sample bytes, held as 16-bit words so that the samples of a 16-bit source stored in the
// host's byte order can be used where they lie (audio_view_frames16); every other encoding is
// read from the words' bytes.
using SampleBuffer = std::array<std::int16_t, SAMPLE_BUFFER_BYTES / 2>;

// Closes a stream unless it is standard input or standard output, which are never closed here.
struct StreamCloser {
    void operator()(std::FILE* stream) const;
};
using StreamPtr = std::unique_ptr<std::FILE, StreamCloser>;

// What a handle needs to have libsndfile decode its file (foreign.cpp); released with the handle.
struct ForeignDecoder;
struct ForeignDecoderCloser {
    void operator()(ForeignDecoder* decoder) const;
};
using ForeignDecoderPtr = std::unique_ptr<ForeignDecoder, ForeignDecoderCloser>;

// An open audio file, made by audio_open and ended by audio_close.
//   buffer            1 MiB of raw sample bytes, refilled in whole frames
//   frames_in_buffer  whole frames held since the last refill
//   frame_index       next frame to deliver; 0 means the next audio_read refills first
//   live              the stream is read as it arrives (see "Live reading" below)
//   partial_at, partial_bytes
//                     live handles: the bytes of a frame not yet complete, after the whole
//                     frames; the next refill begins with them
//   decoder           set for a file that libsndfile decodes: refills take decoded frames from
//                     it instead of the stream's bytes
struct AudioFile {
    StreamPtr stream;          // the file, or standard input / standard output (not owned)
    AudioInfo* info = nullptr; // the caller's description (not a copy)
    std::int32_t access = ACCESS_READ;
    std::unique_ptr<SampleBuffer> buffer;
    std::int32_t frames_in_buffer = 0;
    std::int32_t frame_index = 0;
    int read_error = 0; // system error number of a failed read; 0 while none failed
    bool live = false;
    std::size_t partial_at = 0;
    std::size_t partial_bytes = 0;
    ForeignDecoderPtr decoder; // after `stream`, so that it is released first
};

// Opens `path` ("AUDIO_FROM_STDIN" = standard input, "AUDIO_TO_STDOUT" = standard output;
// compared exactly) and returns the handle, or null after printing why.
//   mode "r"  (first character 'r', second anything but '+'): read; recognises the container and
//             fills `info`, leaving the stream at the first sample.
//   mode "r+" : update access: read like "r"; closing writes nothing back. Refused for the two
//             reserved names ("\nUnable to update stdin/stdout !!").
//   mode "w"  (first character 'w', the rest ignored): write. `info` must describe the file to
//             be written; its sample_type alone chooses the container (ST_WAVE_* a WAVE file,
//             ST_SUN_* Sun audio, ST_AIFF_* AIFF, ST_AIFC_* AIFC, ST_SPW_* an SPW signal file,
//             ST_H512_* the 512-byte header). The header, sized for channels × num_samples
//             samples (and carrying the comment, for AIFF/AIFC and SPW), is written and flushed
//             at once; the caller then writes the samples to `stream` in the container's
//             encoding, and nothing returns to the header later. "AUDIO_TO_STDOUT" writes to
//             standard output; "AUDIO_FROM_STDIN" is refused ("\nUnable to write stdin !!").
//             Refused before any file is created or truncated, with "\nUnable to write <path>:
//             <why>\n": a sample type without a writer (1, 6, 15, 20, below 0, above 30:
//             the G.711 and ST_DECODED_* codes included),
//             channels below 1, a negative num_samples or sampling_frequency, and sizes or
//             counts that the header's fields cannot hold (never written wrapped). A header that
//             cannot be written (a full disk, say) gives "\nError writing the header of <path>:
//             <system error>\n" and no handle.
//   Any other mode, a null path or a null mode: refused with a message.
// When the handle or its 1 MiB buffer cannot be allocated: "Filehandle: <system error>", no
// handle. A file that cannot be opened: "<path>: <system error>". A refused open closes what it
// opened and leaves `info` as far as recognition got.
// A stream opened for reading that is not a regular file (standard input on a pipe, a FIFO, a
// socket, a terminal) is read live; see "Live reading" below.
//
// Files for libsndfile and FFmpeg (see "Decoded files" below): a file that none of the five
// readers takes is offered to libsndfile, and when libsndfile cannot decode it (or reads it as a
// container other than FLAC, Ogg, MP3, W64 or CAF), to FFmpeg's libraries, except a WAVE, AIFF
// or Sun file, whose refusal by the library's own reader stands. When neither recognises it, the
// open fails with "\nInputfile error: filetype not recognized !\n", followed, in a build
// without FFmpeg's libraries, by a line that suggests converting it with ffmpeg. A file that one
// of them recognises but that neither can decode fails with one line that says why:
// "\nInputfile error: the <container> file cannot be decoded (<reason>) !\n" (and the same
// suggestion where FFmpeg has not tried it).
std::unique_ptr<AudioFile> audio_open(const char* path, const char* mode, AudioInfo& info);

// Like audio_open(..., "r", info) on a stream the caller opened (a socket, a memory stream, a
// stream with its own read function). The handle owns the stream from this call on: audio_close
// closes it (unless it is standard input or output), and so does a refused open. Recognition
// never seeks, so the stream need not be seekable. The stream is always read in blocks, never
// live (its buffer may already hold bytes that only the C library can hand out).
std::unique_ptr<AudioFile> audio_open_stream(std::FILE* stream, AudioInfo& info);

// Live reading. A handle that audio_open made on a stream that is not a regular file reads what
// has arrived instead of waiting for its buffer to fill: the stream is unbuffered from the open
// on, and each refill is one read(2) of whatever the stream holds (up to 1 MiB), repeated only
// while not one whole sample frame is in. A read function on such a handle refills at most once,
// and only when it has nothing left to deliver, so:
//   - it may deliver fewer frames than asked before the end of the data (audio_read_frames,
//     audio_read_frames16 and audio_view_frames16 return what they have; call again for more);
//   - the end of the data is a call that delivers nothing with audio_read_error 0;
//   - a signal that interrupts the wait makes the call deliver nothing with audio_read_error
//     EINTR; nothing is lost, and the next call goes on;
//   - audio_frames_buffered tells whether the next call can wait for the stream.
// The bytes delivered are those of the same file read from disk: live reading changes only when
// they come. Regular files are read in blocks of nearly 1 MiB, and a short count means the end.

// Decoded files. A FLAC, Ogg Vorbis, Ogg Opus, MP3, W64 or CAF file is decoded by libsndfile, and
// its handle delivers decoded samples (ST_DECODED_*) through the same read functions:
//   - 8- and 16-bit sources give ST_DECODED_PCM16, so audio_view_frames16 and
//     audio_read_frames16 serve them; 24- and 32-bit sources give ST_DECODED_PCM32 (24-bit
//     values times 256); float and lossy sources ST_DECODED_FLOAT32, double ones
//     ST_DECODED_FLOAT64. Lossless sources deliver exactly their samples.
//   - info: channels and sampling_frequency as libsndfile finds them; data_offset -1 (samples
//     have no place in the stream); comment "". num_samples is the count the header declares,
//     from a file and from a pipe alike: FLAC's, the data chunk's of W64 and CAF (ALAC's packet
//     table); Ogg's from a regular file only (its last page). MP3 has none (libsndfile may only
//     estimate it), nor has a stream whose header gives a placeholder: read until the reads end.
//     A file cut short then delivers the frames that are there and ends before num_samples.
//   - A file's bytes give the same samples by name and through a pipe. On a regular file
//     libsndfile reads where it wants. On any other stream it sees the bytes recognition took,
//     then the stream, through a bounded replay: the first 16 MiB (as far as libsndfile reads
//     while opening the file) and the last 1 MiB stay at hand, and it may read ahead by reading
//     on; what lies further ahead counts as not there (a file's last page, trailing chunks) and
//     an unknown end cannot be sought. A file that needs more at once (CAF chunks before the
//     audio that reach past 16 MiB; an ALAC file in CAF longer than that, whose last packet
//     libsndfile reads first) is refused with a message that says to give it by name. Memory
//     stays bounded whatever the length.
//   - A CAF file whose data chunk runs "to the end" (size -1, as ffmpeg writes CAF to a pipe)
//     is read to its end; one whose data chunk reaches past the end of the file is read as far
//     as it goes.
//   - On a regular file the next block of up to 1 MiB is decoded on a thread of the library's
//     own while the caller uses the current one (the handle still serves one caller thread at
//     a time); the thread ends with the data, or when the handle is closed.
//   - A live handle takes a few thousand frames per refill, so frames come as the data arrives,
//     in steps of what libsndfile decodes at once.
//   - A read that fails (the stream's error, or libsndfile's on damaged data, after its message)
//     is reported by audio_read_error; damaged data ends the reads with the whole frames decoded
//     before it. A failure of libsndfile once the input has run out is the file being cut
//     short: the reads end there without an error.
//   - audio_positioned is false: such a handle is read in one pass.
//   - channel_mask: the speakers libsndfile reports (W64, CAF), or for FLAC and Ogg the
//     format's own order for 1 to 8 channels; channels are delivered in the order of their
//     speakers' bits (the WAVE order), so an Ogg file's L C R comes out as L R C. A layout
//     libsndfile does not report, or one that names a speaker twice: 0, channels as stored.
//
// Files decoded by FFmpeg follow the same rules, with these differences:
//   - integer codecs (ALAC, WavPack, TTA, APE) give ST_DECODED_PCM16 (8- and 16-bit sources) or
//     ST_DECODED_PCM32 (wider ones, at the top of the word, as libsndfile gives them): exactly
//     their samples. Lossy codecs (AAC) give ST_DECODED_FLOAT32 (or _FLOAT64 for a decoder of
//     doubles).
//   - num_samples is the count the container declares for a lossless codec (M4A's track, the
//     WavPack, TTA and APE headers); ALAC in CAF as ffmpeg writes it (whose packet table counts
//     whole packets, after the audio) and lossy codecs have none: read until the reads end.
//   - channel_mask: the speaker layout FFmpeg reports, where it is one of the WAVE assignments.
//   - through a pipe, FFmpeg may read ahead as far as the 16 MiB held while it opens the file
//     (an M4A file's index after its audio, as ffmpeg writes it); a file that needs more is
//     refused with the message that says to give it by name.
//   - the reader is a module loaded on first need (vantrel_ffmpeg.so, from the build tree or the
//     folder the build installs it into), so that the programs do not pay for FFmpeg's libraries
//     at every start; a build without them, or a missing module, refuses such files as above.

// Delivers the next sample frame: values[c] = channel c, as the stored number.
//   0   a frame was delivered
//   -1  no frame: end of data, a read failure (see audio_read_error), a trailing partial frame
//       (never delivered), a frame larger than the 1 MiB buffer, channels below 1, `values`
//       shorter than `channels`, or a code that has no samples (the unassigned 1, 6, 15, 20,
//       codes outside 0..36 other than ST_DECODED_*, and ST_DECODED_* on a handle that has no
//       decoder), so that no reading loop can spin
//   82  the handle was opened for writing ("\nRead attempt at outputfile")
// On -1 and 82 `values` is left untouched. The stream is read strictly forward in blocks of
// nearly 1 MiB; nothing after the sample data is recognised, so read at most num_samples frames
// when num_samples_known is set.
int audio_read(std::span<double> values, AudioFile& file);

// Tells a failed read from the end of the data after audio_read returned -1: 0 when the stream
// simply ended, otherwise the system's error number (for strerror) of the read that failed.
// Once a read has failed the handle keeps reporting it; only EINTR (a live read interrupted by a
// signal, see "Live reading") lasts until the next read, which goes on.
int audio_read_error(const AudioFile& file);

// Whole sample frames that the next reads deliver from the handle's buffer without touching the
// stream. When it is 0, the next read refills, and on a live handle that can wait for the stream.
std::size_t audio_frames_buffered(const AudioFile& file);

// The bulk form of audio_read: delivers as many whole sample frames as `values` holds
// (values.size() / channels of them, interleaved, channel 0 first), converting straight from the
// buffer, and returns how many it delivered: fewer only at the end of the data (0 there), or on a
// live handle when the rest has not arrived yet; otherwise the same conversions, buffer refills
// and end-of-data rules as that many audio_read calls.
// The unassigned codes deliver nothing (0); 82 for a write handle (with its message); -1 for an
// unusable handle. Values past the frames delivered are left untouched.
int audio_read_frames(std::span<double> values, AudioFile& file);

// audio_read_frames for 16-bit integer samples (either byte order), delivered as they are
// stored: the same values audio_read gives, without the trip through double. Returns -1,
// delivering nothing, for every other sample type; otherwise as audio_read_frames.
int audio_read_frames16(std::span<std::int16_t> values, AudioFile& file);

// The next (up to) `frames` sample frames of a 16-bit source stored in the host's byte order,
// where they lie in the handle's buffer: the samples audio_read_frames16 would copy, without the
// copy. The view stays valid until the next read from `file`. It holds fewer than `frames`
// frames where the buffer's run ends first (the rest comes from the next call, or from
// audio_read_frames16) and none at the end of the data, on a read error, and for every other
// sample type or byte order (audio_read_frames16 tells those apart).
std::span<const std::int16_t> audio_view_frames16(AudioFile& file, std::size_t frames);

// Closes the handle's stream (never standard input or output) and releases the handle.
//   0   done; `file` is reset. A null `file` is already closed: 0.
//   -1  the stream failed to close ("\nError closing file"), or, for a write handle on standard
//       output, failed to flush; `file` is kept, without its stream (which the C library has
//       released all the same), so a second close returns 0.
// Nothing is ever written back: not for update handles, and no operation adds frames to a
// write handle, which holds nothing but what was written to its stream. Closing is where a
// write that the stream still buffered can fail, so check the result of a write handle.
int audio_close(std::unique_ptr<AudioFile>& file);

// Bits per stored sample of a code: 8, 16, 24, 32 or 64; 8 for the G.711 codes; 16 for the
// unassigned codes 1, 6, 15 and 20; 16, 32, 32 and 64 for ST_DECODED_PCM16, _PCM32, _FLOAT32 and
// _FLOAT64; 0 for any other code outside 0..36 (negative codes included).
int sample_bits(std::int32_t sample_type);

// Bits of the values audio_read delivers for a code: sample_bits, except for the G.711 codes,
// whose 8-bit codes expand to 16-bit values (16).
int sample_value_bits(std::int32_t sample_type);

// True for the IEEE floating-point codes (12, 13, 14, 25..30, ST_DECODED_FLOAT32 and _FLOAT64);
// false for integer codes and for unknown codes.
bool sample_is_float(std::int32_t sample_type);

// ---- Reading at any position, from several threads ----------------------------------------
//
// The samples of a regular file can be read where they lie, in any order and from several
// threads at once, without the handle's buffer or the stream's position:
//
//   if (audio_positioned(*file)) {                       // before any audio_read*
//       std::vector<std::byte> raw(frames * bytes per stored frame);
//       int error = 0;
//       const auto got = audio_read_raw_at(*file, first, raw, error);  // frames first, first+1,
//       ... audio_convert_frames(info, std::span(raw).first(got * bytes per frame), values);
//   }
//
// The values are exactly those audio_read_frames (and audio_read_frames16) would deliver for the
// same frames.

// True when audio_read_raw_at can serve `file`: a regular file opened for reading, with a sample
// type that has a conversion, whose stream still stands at the first sample (data_offset): no
// sample has been read through the handle yet. False for pipes and other streams, and for files
// that libsndfile decodes.
bool audio_positioned(const AudioFile& file);

// Reads the stored bytes of sample frames first, first + 1, ... (as many whole frames as `bytes`
// holds) from their place in the file. Neither the handle nor the stream position changes, so
// several threads may call it at once on one handle, as long as nothing else uses the handle
// meanwhile. Returns the whole frames read: fewer where the file ends or a read fails; `error`
// receives the system's error number of the failure (for strerror), 0 when there was none.
// Whole frames before a failure are read and counted. -1 (error EINVAL) for a handle that is not
// audio_positioned, a negative `first`, or a position beyond what the file offsets can reach.
std::int64_t audio_read_raw_at(const AudioFile& file, std::int64_t first,
                               std::span<std::byte> bytes, int& error);

// Converts stored frames (as audio_read_raw_at gives them) to the values audio_read_frames
// delivers: as many whole frames as both `bytes` and `values` (values.size() / channels) hold,
// interleaved, channel 0 first. Returns that count; -1 for a description without a conversion
// (an unassigned or unknown sample type, channels below 1).
std::int64_t audio_convert_frames(const AudioInfo& info, std::span<const std::byte> bytes,
                                  std::span<double> values);

// For 16-bit integer samples: turns stored samples, read into `words` (the bytes of
// audio_read_raw_at), into the values audio_read_frames16 delivers, in place: each word's bytes
// are swapped where the file's byte order is not the host's, and nothing changes where it is.
// Returns false, changing nothing, for every other sample type.
bool audio_words_to_samples16(const AudioInfo& info, std::span<std::int16_t> words);

} // namespace audiofile
