// Inside the library: the reader of files that neither the five readers nor libsndfile decode
// (M4A with AAC or ALAC, WavPack, TTA, APE, ALAC in CAF as ffmpeg writes it, ...), through
// FFmpeg's libraries.
//
// Linking libavformat and libavcodec pulls in well over a hundred shared libraries, which every
// run would pay for at start-up (about 30 ms against 2 ms for a small WAVE file). So the reader
// is a module of its own, vantrel_ffmpeg.so (ffmpeg.cpp), linked against FFmpeg and loaded with
// dlopen only when a file needs it; the library and the module meet at the one C function below,
// which hands out a table of plain C functions. Nothing but these structs and integers crosses:
// no C++ object, no exception, no allocation freed on the other side.
//
//   library (foreign.cpp)                         module (ffmpeg.cpp)
//   ffmpeg_module() ─ dlopen, once ────────────►  vantrel_ffmpeg_module_1()
//   FfmpegInput: read/seek over the file's bytes ─► open ─► FfmpegStream (what it holds)
//   decode(frames) ◄──────────── interleaved frames of the sample kind, host byte order
//   close
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Where the module reads the file, from its first byte: the library's own view (a regular file
// read where it lies, or a pipe's bounded replay).
//   read  copies up to `size` bytes at the current position; returns the count, 0 at the end
//         (or for what cannot be served), -1 after a failure of the input
//   seek  moves the position (whence SEEK_SET, SEEK_CUR, SEEK_END) and returns it, or -1;
//         whence FFMPEG_SEEK_SIZE returns the file's length, -1 when it is not known (a pipe)
struct FfmpegInput {
    void* opaque;
    int (*read)(void* opaque, std::uint8_t* to, int size);
    std::int64_t (*seek)(void* opaque, std::int64_t offset, int whence);
};
inline constexpr int FFMPEG_SEEK_SIZE = 0x10000;

// What the decoded frames are made of: 16- or 32-bit integers (lossless sources exactly; 8-bit
// ones times 256, 24-bit ones times 256 as FFmpeg gives them), or IEEE floats or doubles with
// full scale +-1.0 (lossy sources as their decoder gives them).
enum FfmpegSampleKind : std::int32_t {
    FFMPEG_PCM16 = 0,
    FFMPEG_PCM32 = 1,
    FFMPEG_FLOAT32 = 2,
    FFMPEG_FLOAT64 = 3,
};

inline constexpr std::size_t FFMPEG_TEXT_BYTES = 160;

// What open found. `format` names the container for messages ("M4A", "WavPack", ...) and is set
// as soon as the container is recognised, even when opening fails later on.
struct FfmpegStream {
    std::int32_t channels;
    std::int32_t sampling_frequency;
    std::int32_t sample_kind;   // an FfmpegSampleKind
    std::int64_t frames;        // the count the container declares (lossless codecs); -1: none
    std::uint64_t channel_mask; // speakers as the bits of a WAVE channel mask; 0: unknown
    char format[32];            // NUL-terminated; "" while nothing is recognised
};

// The outcome of open and decode.
//   FFMPEG_OK             done
//   FFMPEG_UNRECOGNISED   no container FFmpeg knows (open only)
//   FFMPEG_FAILED         recognised but unusable (open), or the data cannot be decoded further
//                         (decode); `text` says why
//   FFMPEG_NO_MEMORY
enum FfmpegResult : std::int32_t {
    FFMPEG_OK = 0,
    FFMPEG_UNRECOGNISED = 1,
    FFMPEG_FAILED = 2,
    FFMPEG_NO_MEMORY = 3,
};

struct FfmpegDecoder; // the module's own

struct FfmpegModule {
    std::int32_t version; // FFMPEG_MODULE_VERSION
    // Opens the file behind `input` (which must outlive the decoder); *decoder receives the
    // decoder on FFMPEG_OK, null otherwise. `text` (FFMPEG_TEXT_BYTES) receives the reason of a
    // failure, NUL-terminated.
    std::int32_t (*open)(const FfmpegInput* input, FfmpegStream* stream, FfmpegDecoder** decoder,
                         char* text);
    // Decodes up to `frames` frames into `out` (frames x channels samples of the sample kind,
    // interleaved); *decoded receives how many. Fewer than asked only at the end of the data
    // (FFMPEG_OK) or before a failure (FFMPEG_FAILED with `text`, the frames before it kept).
    std::int32_t (*decode)(FfmpegDecoder* decoder, void* out, std::size_t frames,
                           std::size_t* decoded, char* text);
    void (*close)(FfmpegDecoder* decoder);
};
inline constexpr std::int32_t FFMPEG_MODULE_VERSION = 1;

// The module's one exported function.
const FfmpegModule* vantrel_ffmpeg_module_1(void);
}

namespace audiofile {

// The module's table, loaded on first use (found beside the build's programs, then where it is
// installed); null when this build has none or it cannot be loaded. Safe from any thread.
const FfmpegModule* ffmpeg_module();

} // namespace audiofile
