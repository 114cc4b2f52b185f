/* vantrel.h: the SBC codec of vantrel from C (C99 and later, and C++).
 *
 * SBC is the low-complexity sub-band codec of Bluetooth A2DP; mSBC is its fixed-parameter
 * variant for the wideband speech of the hands-free profile, optionally carried in 60-byte H2
 * units. This header is the whole stable interface of libvantrel.so.1:
 *
 *   int16 / float / double samples,          bytes in pieces of any size
 *   interleaved, at any rate                   │
 *        │                                     │
 *        ▼                                     │
 *   vantrel_converter_convert                  │
 *   (the program's -F / -m conversion)         │
 *        │                                     ▼
 *        ▼                               vantrel_decoder_decode
 *   vantrel_encoder_encode               (finds the frames, conceals the lost)
 *   (keeps the partial frame)                  │
 *        │                                     ▼
 *        ▼                               int16 samples, interleaved
 *   SBC / mSBC / H2 bytes
 *
 * Byte-identical: an encoder opened from a configuration gives exactly the bytes the program
 * `vantrel` writes for the same 16-bit samples and the same options, on every build and CPU.
 *
 * Conventions
 *   - Every function returns an int status: VANTREL_OK (0) or another value >= 0 on success,
 *     a negative VANTREL_ERROR_* on failure. vantrel_strerror() turns any status into text;
 *     vantrel_version() and vantrel_strerror() are the only functions returning anything else.
 *   - Every pointer and length is checked on entry. A refused call changes nothing: the handle
 *     stays as it was and remains usable, and outputs that are counts are set to 0.
 *   - Samples are interleaved by channel: instant 0 of channel 0, of channel 1, instant 1, ...
 *     Sample counts (`count`, `capacity`, `*written` for samples) count values, not instants.
 *   - Buffers belong to the caller; the library never keeps a pointer to them after a call.
 *   - Nothing is printed, nothing ends the process, no C++ exception leaves the library.
 *     Memory is taken only when a handle is opened (and by vantrel_scan); encoding and decoding
 *     allocate nothing (converting may: libsoxr's own buffers grow to their working size).
 *
 * Threads
 *   A handle is used by one thread at a time; distinct handles may be used on distinct threads
 *   at once with no locking. vantrel_strerror, vantrel_version, vantrel_config_default,
 *   vantrel_config_check, vantrel_config_bit_rate_range, vantrel_convert_config_default,
 *   vantrel_frame_parse and vantrel_scan touch no shared state and may be called from any
 *   thread at any time. Converters may be opened on several threads at once (libsoxr is set
 *   up one converter at a time), but not while the host changes the environment.
 *
 * Extending without breaking
 *   Structs the caller passes in begin with `struct_size`, which the caller sets to
 *   sizeof(the struct) as its header declared it (the *_default/_init functions do it). A later
 *   version only appends fields; the library reads and writes no byte beyond `struct_size`, and
 *   takes defaults for fields the caller's struct does not have. Status codes and constants
 *   keep their values; new ones are added. Symbols are versioned (VANTREL_1).
 *
 * Building against it
 *   cc -std=c99 app.c $(pkg-config --cflags --libs vantrel)
 *   CMake: find_package(vantrel) and target_link_libraries(app PRIVATE vantrel::vantrel)
 */
#ifndef VANTREL_VANTREL_H
#define VANTREL_VANTREL_H

#include <stddef.h>
#include <stdint.h>

#if defined(VANTREL_BUILDING_LIBRARY) && defined(__GNUC__)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------------------------ */

enum {
    VANTREL_OK = 0,
    /* Success with a remark (decoding): */
    VANTREL_DAMAGED = 1, /* the frame's CRC failed: it was concealed (or silenced) instead */

    VANTREL_ERROR_NULL_POINTER = -1,     /* a pointer the call needs is null */
    VANTREL_ERROR_BUFFER_TOO_SMALL = -2, /* the output buffer cannot hold the result */
    VANTREL_ERROR_BAD_RATE = -3,         /* sampling frequency not 16000, 32000, 44100, 48000 */
    VANTREL_ERROR_BAD_CHANNELS = -4,     /* channels not 1 or 2 (converters: 1 to 8) */
    VANTREL_ERROR_BAD_CHANNEL_MODE = -5, /* unknown channel mode, or MONO with two channels */
    VANTREL_ERROR_BAD_SUBBANDS = -6,     /* subbands not 4 or 8 */
    VANTREL_ERROR_BAD_BLOCKS = -7,       /* blocks not 4, 8, 12 or 16 */
    VANTREL_ERROR_BAD_ALLOCATION = -8,   /* allocation not VANTREL_LOUDNESS or VANTREL_SNR */
    VANTREL_ERROR_BAD_BITPOOL = -9,      /* bitpool (given or from the bit rate) out of range */
    VANTREL_ERROR_BAD_BIT_RATE = -10,    /* a bit rate that gives no bitpool at all */
    VANTREL_ERROR_BAD_STRUCT_SIZE = -11, /* struct_size smaller than the first version's */
    VANTREL_ERROR_BAD_LENGTH = -12,      /* a sample count that is not whole instants */
    VANTREL_ERROR_NOT_A_FRAME = -13,     /* the bytes do not begin with an SBC or mSBC frame */
    VANTREL_ERROR_NEED_MORE = -14,       /* the bytes end before the frame does */
    VANTREL_ERROR_NO_FRAMES = -15,       /* the whole input held no SBC or mSBC frame */
    VANTREL_ERROR_STREAM_CHANGED = -16,  /* the stream changed frequency or channel count */
    VANTREL_ERROR_FINISHED = -17,        /* input after vantrel_decoder_finish */
    VANTREL_ERROR_WRONG_USE = -18,       /* frame and stream decoding mixed on one decoder */
    VANTREL_ERROR_BAD_ARGUMENT = -19,    /* another argument out of its range (flags, ...) */
    VANTREL_ERROR_OUT_OF_MEMORY = -20,   /* memory ran out while opening a handle */
    VANTREL_ERROR_INTERNAL = -21,        /* an unexpected failure inside the library */
    VANTREL_ERROR_NOT_A_CAPTURE = -22,   /* the bytes are no btsnoop, pcap or pcapng capture */
    VANTREL_ERROR_NO_STREAM = -23        /* the capture has no such stream, or it has no frame */
};

/* The text of a status, e.g. "the output buffer is too small"; "unknown status" for a code
 * this version does not know. Never null; the text is static and must not be freed. */
VANTREL_API const char* vantrel_strerror(int status);

/* The library's version, e.g. "1.5". Never null, static. */
VANTREL_API const char* vantrel_version(void);

/* ---- Parameter codes (as the frame header carries them) ---------------------------------- */

enum {
    VANTREL_CHANNEL_MODE_AUTO = -1, /* MONO for one channel, DUAL_CHANNEL for two */
    VANTREL_MONO = 0,
    VANTREL_DUAL_CHANNEL = 1,
    VANTREL_STEREO = 2,
    VANTREL_JOINT_STEREO = 3
};
enum { VANTREL_LOUDNESS = 0, VANTREL_SNR = 1 };

/* What a stream or frame is. */
enum {
    VANTREL_KIND_NONE = 0,
    VANTREL_KIND_SBC = 1,
    VANTREL_KIND_MSBC = 2,
    VANTREL_KIND_H2_MSBC = 3
};

/* Capacities: a buffer of VANTREL_MAX_FRAME_VALUES samples holds the output of any one frame;
 * no SBC frame is longer than VANTREL_MAX_FRAME_BYTES. */
#define VANTREL_MAX_FRAME_VALUES 256
#define VANTREL_MAX_FRAME_BYTES 524
#define VANTREL_MSBC_FRAME_BYTES 57
#define VANTREL_H2_UNIT_BYTES 60

/* Bitpool value that asks for the bitpool to be derived from `bit_rate`. */
#define VANTREL_BITPOOL_FROM_RATE (-1)

/* Bit rate value that asks for the program's default when no -r is given: 375000 bit/s, or,
 * where a frame cannot carry the bitpool that rate gives (16000 Hz mono: 183 of at most 128),
 * the highest bitpool the frame allows. */
#define VANTREL_BIT_RATE_DEFAULT 0

/* ---- Encoder configuration ------------------------------------------------------------- */

typedef struct vantrel_config {
    uint32_t struct_size;       /* sizeof(vantrel_config) */
    int32_t sampling_frequency; /* Hz: 16000, 32000, 44100 or 48000 */
    int32_t channels;           /* 1 or 2 */
    int32_t channel_mode;       /* VANTREL_CHANNEL_MODE_AUTO or a mode; with one channel any
                                   mode becomes MONO (as the program does); MONO with two
                                   channels is refused */
    int32_t subbands;           /* 4 or 8 (default 8) */
    int32_t blocks;             /* 4, 8, 12 or 16 (default 16) */
    int32_t allocation;         /* VANTREL_LOUDNESS or VANTREL_SNR (default SNR) */
    int32_t bitpool;            /* 0..max, or VANTREL_BITPOOL_FROM_RATE (the default) */
    int32_t bit_rate;           /* bit/s, used when bitpool is VANTREL_BITPOOL_FROM_RATE
                                   (default 375000), or VANTREL_BIT_RATE_DEFAULT */
} vantrel_config;

/* Fills `config` with the program's defaults for this frequency and channel count:
 * struct_size, AUTO channel mode, 8 subbands, 16 blocks, SNR, bitpool from 375000 bit/s.
 * Checks nothing but the pointer (vantrel_config_check does). */
VANTREL_API int vantrel_config_default(vantrel_config* config, int32_t sampling_frequency,
                                       int32_t channels);

/* Checks a configuration as vantrel_encoder_open would, and gives the bitpool its frames will
 * carry (the given one, or the one the program derives from the bit rate:
 *   frame bytes = bit_rate × subbands × blocks ÷ (frequency × 8), integer division;
 *   MONO, DUAL_CHANNEL:   (frame bytes × 8 − channels × subbands × 4 − 32) ÷ (channels × blocks)
 *   STEREO, JOINT_STEREO: (frame bytes × 8 − channels × subbands × 4 − 32
 *                          − subbands in JOINT_STEREO) ÷ blocks).
 * The bitpool must lie in 0..16 × subbands (MONO, DUAL_CHANNEL) or 0..32 × subbands (STEREO,
 * JOINT_STEREO), and at most 255. `bitpool` may be null. */
VANTREL_API int vantrel_config_check(const vantrel_config* config, int32_t* bitpool);

/* The bit rates (bit/s, inclusive) whose derived bitpool is valid for this configuration (its
 * bitpool and bit_rate fields are ignored), as the program names them when it refuses a rate.
 * VANTREL_ERROR_BAD_BIT_RATE when no rate works. */
VANTREL_API int vantrel_config_bit_rate_range(const vantrel_config* config, int32_t* lowest,
                                              int32_t* highest);

/* ---- Encoder --------------------------------------------------------------------------- */

typedef struct vantrel_encoder vantrel_encoder;

/* Opens an SBC encoder (the stream starts after silence). On success *encoder is the new
 * handle; on failure it is set to null and the status says what was refused. */
VANTREL_API int vantrel_encoder_open(const vantrel_config* config, vantrel_encoder** encoder);

/* Flags of vantrel_encoder_open_msbc. */
#define VANTREL_MSBC_H2 1u /* each frame goes out in its 60-byte H2 unit (sequence from 0) */

/* Opens an mSBC encoder: 16000 Hz, one channel, every parameter fixed, 57-byte frames of 120
 * instants (60-byte units with VANTREL_MSBC_H2). Other flag bits: VANTREL_ERROR_BAD_ARGUMENT. */
VANTREL_API int vantrel_encoder_open_msbc(uint32_t flags, vantrel_encoder** encoder);

/* Closes the encoder and frees it; a null handle is accepted (VANTREL_OK). Samples of a
 * partial frame still held are dropped, as the program drops them. */
VANTREL_API int vantrel_encoder_close(vantrel_encoder* encoder);

/* Bytes each frame takes in the output (the H2 unit's 60 for VANTREL_MSBC_H2). */
VANTREL_API int vantrel_encoder_frame_length(const vantrel_encoder* encoder, size_t* bytes);

/* Instants (per channel) each frame codes: subbands × blocks (120 for mSBC). */
VANTREL_API int vantrel_encoder_frame_samples(const vantrel_encoder* encoder, size_t* instants);

/* The configuration in effect: channel mode after the MONO rule, the bitpool actually used,
 * the fixed values of mSBC. `config->struct_size` must be set by the caller. */
VANTREL_API int vantrel_encoder_get_config(const vantrel_encoder* encoder, vantrel_config* config);

/* The delay, in instants, that encoding and then decoding add to a signal: 9 × subbands + 1
 * (73 with 8 subbands, 37 with 4). Decoded instant i + delay stands for input instant i. */
VANTREL_API int vantrel_encoder_delay(const vantrel_encoder* encoder, size_t* instants);

/* Instants (per channel) held from earlier calls, short of a whole frame. */
VANTREL_API int vantrel_encoder_pending(const vantrel_encoder* encoder, size_t* instants);

/* The exact number of bytes encoding `count` more sample values will write now (whole frames
 * of the held instants and these). Too large a count: VANTREL_ERROR_BAD_LENGTH. */
VANTREL_API int vantrel_encoder_output_size(const vantrel_encoder* encoder, size_t count,
                                            size_t* bytes);

/* Encodes `count` interleaved 16-bit sample values (whole instants: a multiple of the channel
 * count) and writes every frame they complete to `out`, *written bytes in all. Instants short
 * of a frame are kept for the next call, so any cut of a signal into calls gives the same bytes
 * as one call; a trailing partial frame is never encoded. When `capacity` is below
 * vantrel_encoder_output_size: VANTREL_ERROR_BUFFER_TOO_SMALL and nothing is taken.
 * `samples` may be null when `count` is 0; `out` may be null when nothing is to be written. */
VANTREL_API int vantrel_encoder_encode(vantrel_encoder* encoder, const int16_t* samples,
                                       size_t count, uint8_t* out, size_t capacity,
                                       size_t* written);

/* The same for float samples of full scale ±1.0, converted as the program converts a float
 * file: value × 32768, truncated toward zero, limited to -32768..32767, NaN as 0. */
VANTREL_API int vantrel_encoder_encode_float(vantrel_encoder* encoder, const float* samples,
                                             size_t count, uint8_t* out, size_t capacity,
                                             size_t* written);
VANTREL_API int vantrel_encoder_encode_double(vantrel_encoder* encoder, const double* samples,
                                              size_t count, uint8_t* out, size_t capacity,
                                              size_t* written);

/* ---- Converter: resampling, the stereo-to-mono mix and the downmix ------------------------ */

/* The conversion `vantrel -F` and `vantrel -m` make before encoding: 3 to 8 channels mixed down
 * to stereo (below), stereo mixed to mono as (L + R) / 2, then resampled with libsoxr (linear
 * phase, very high quality, its delay taken out: output instant k lies at input time
 * k × from_rate / to_rate). Converting a signal and encoding the result with
 * vantrel_encoder_encode (or _double for float samples) gives the program's bytes for a file of
 * that signal:
 *   -F 44100 on 22050 Hz stereo:  from_rate 22050, to_rate 44100, channels 2, to_channels 2;
 *   -m on 44100 Hz stereo:        from_rate 44100, to_rate 16000, channels 2, to_channels 1,
 *                                 then an encoder from vantrel_encoder_open_msbc.
 * The same input gives the same output bits however it is cut into calls, with one thread or
 * two, on every x86-64 processor (libsoxr's scalar engine; another build of libsoxr or of the
 * C library's math functions may change the last bits). */
typedef struct vantrel_converter vantrel_converter;

/* The downmix of 3 to 8 channels: each channel feeds the speaker of a bit of `channel_mask`
 * (channel k the k-th lowest bit set, as in an extensible WAVE file's mask), and the ITU-R
 * BS.775 matrix mixes them to stereo, the LFE dropped:
 *   left  = L + a·C + a·BL + a·SL + 0.5·BC + FLC      a = 1/√2 (−3 dB)
 *   right = R + a·C + a·BR + a·SR + 0.5·BC + FRC
 * every gain divided by the larger row's sum of gains, so that full scale cannot clip (5.1:
 * L 0.4142, C and BL 0.2929). vantrel_converter_open takes the usual layout of that many
 * channels (FLAC's order, the extensible WAVE order too: 3.0 0x7, quad 0x33, 5.0 0x37, 5.1
 * 0x3F, 6.1 0x70F, 7.1 0x63F); vantrel_converter_open_layout takes the caller's mask, where 0,
 * a mask whose bits do not number the channels, or one with other bits takes the first two
 * channels as they are (as the program does for a file that names no speakers). to_channels 1
 * then mixes the stereo to (L + R) / 2, as `vantrel -m` does. */
enum {
    VANTREL_SPEAKER_FRONT_LEFT = 0x1,
    VANTREL_SPEAKER_FRONT_RIGHT = 0x2,
    VANTREL_SPEAKER_FRONT_CENTER = 0x4,
    VANTREL_SPEAKER_LOW_FREQUENCY = 0x8,
    VANTREL_SPEAKER_BACK_LEFT = 0x10,
    VANTREL_SPEAKER_BACK_RIGHT = 0x20,
    VANTREL_SPEAKER_FRONT_LEFT_OF_CENTER = 0x40,
    VANTREL_SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80,
    VANTREL_SPEAKER_BACK_CENTER = 0x100,
    VANTREL_SPEAKER_SIDE_LEFT = 0x200,
    VANTREL_SPEAKER_SIDE_RIGHT = 0x400
};

typedef struct vantrel_convert_config {
    uint32_t struct_size; /* sizeof(vantrel_convert_config) */
    int32_t from_rate;    /* Hz of the input: 1 and up */
    int32_t to_rate;      /* Hz of the output: 1 and up (from_rate: the rate is kept) */
    int32_t channels;     /* of the input: 1 to 8 */
    int32_t to_channels;  /* of the output: `channels` (1 or 2), 1 from 2 (the mix), or 2 or 1
                             from 3..8 (the downmix) */
    int32_t threads;      /* 1 (default): all on the caller's thread; 2: with two channels out,
                             the second is resampled on a thread of the converter's own */
} vantrel_convert_config;

/* Fills `config`: struct_size, these rates and channels, one thread; to_channels = channels for
 * 1 or 2, and 2 (the downmix) for 3 to 8. */
VANTREL_API int vantrel_convert_config_default(vantrel_convert_config* config, int32_t from_rate,
                                               int32_t to_rate, int32_t channels);

/* Opens a converter. VANTREL_ERROR_BAD_CHANNELS for channels it cannot take (outside 1..8, or
 * to_channels other than those above); VANTREL_ERROR_BAD_ARGUMENT for a rate below 1, negative
 * threads, or rates libsoxr refuses. On failure *converter is set to null. */
VANTREL_API int vantrel_converter_open(const vantrel_convert_config* config,
                                       vantrel_converter** converter);

/* vantrel_converter_open with the speakers of 3 to 8 channels given by `channel_mask` (the
 * VANTREL_SPEAKER_* bits above, channel k the k-th lowest bit set); for 1 or 2 channels the
 * mask is not used. */
VANTREL_API int vantrel_converter_open_layout(const vantrel_convert_config* config,
                                              uint32_t channel_mask, vantrel_converter** converter);

/* Closes the converter and frees it; a null handle is accepted. */
VANTREL_API int vantrel_converter_close(vantrel_converter* converter);

/* The instants (per channel) that `instants` input instants give in all, the tail after
 * vantrel_converter_finish included: instants × to_rate / from_rate rounded to the nearest
 * (a half up). VANTREL_ERROR_BAD_LENGTH for a count below 0 or above 2^31 - 1. */
VANTREL_API int vantrel_converter_length(const vantrel_converter* converter, int64_t instants,
                                         int64_t* output_instants);

/* Converts `count` interleaved values (whole instants of `channels`) into at most `capacity`
 * values of `out` (whole instants of `to_channels`; capacity must hold one), taking what it
 * can: *used values of `samples` taken, *written values written. Output the filter's look-ahead
 * still holds back comes out after more input, or after vantrel_converter_finish. The loop is
 * the decoder's: call until *used == count and *written == 0, then after finish until
 * *written == 0.
 *   int16:  samples as they are; out truncated toward zero and limited to -32768..32767, as
 *           the program gives the encoder its samples;
 *   float, double: full scale ±1.0, as the encoder's float calls (no limit on the output). */
VANTREL_API int vantrel_converter_convert(vantrel_converter* converter, const int16_t* samples,
                                          size_t count, size_t* used, int16_t* out, size_t capacity,
                                          size_t* written);
VANTREL_API int vantrel_converter_convert_float(vantrel_converter* converter, const float* samples,
                                                size_t count, size_t* used, float* out,
                                                size_t capacity, size_t* written);
VANTREL_API int vantrel_converter_convert_double(vantrel_converter* converter,
                                                 const double* samples, size_t count, size_t* used,
                                                 double* out, size_t capacity, size_t* written);

/* No more input will come: the following calls (with count 0; more samples are refused with
 * VANTREL_ERROR_FINISHED) deliver the tail of the resampler. */
VANTREL_API int vantrel_converter_finish(vantrel_converter* converter);

/* ---- One frame's header ------------------------------------------------------------------ */

typedef struct vantrel_frame_info {
    int32_t kind;               /* VANTREL_KIND_SBC or VANTREL_KIND_MSBC */
    int32_t sampling_frequency; /* Hz */
    int32_t channels;           /* 1 or 2 */
    int32_t channel_mode;
    int32_t subbands;
    int32_t blocks; /* 15 for mSBC */
    int32_t allocation;
    int32_t bitpool;
    int32_t length;  /* bytes of the whole frame */
    int32_t samples; /* instants per channel it decodes to: blocks × subbands */
} vantrel_frame_info;

/* Reads the header of the frame at the start of `bytes` (the CRC is not checked here).
 * VANTREL_ERROR_NEED_MORE with fewer than 3 bytes; VANTREL_ERROR_NOT_A_FRAME when they are no
 * SBC or mSBC header. `info` is filled only on VANTREL_OK. */
VANTREL_API int vantrel_frame_parse(const uint8_t* bytes, size_t size, vantrel_frame_info* info);

/* ---- Decoder --------------------------------------------------------------------------- */

typedef struct vantrel_decoder vantrel_decoder;

typedef struct vantrel_decoder_config {
    uint32_t struct_size; /* sizeof(vantrel_decoder_config) */
    uint32_t flags;       /* 0 (the defaults) or VANTREL_DECODER_SILENCE */
} vantrel_decoder_config;

/* Flags of vantrel_decoder_config.
 *
 * By default a decoder conceals every frame it knows to be lost (a CRC failure, an unreadable
 * frame, a gap in the H2 sequence numbers, a call of vantrel_decoder_conceal): the waveform
 * before the gap continues through it (its best-matching earlier stretch repeated, at full
 * level for 10 ms, faded to silence by 50 ms), and the frame after the gap joins it without a
 * restart of the synthesis filter. It adds no delay and changes nothing while no frame is lost.
 * VANTREL_DECODER_SILENCE gives silence of the frame's length instead, and the next frame
 * starts from cleared filter history (the behaviour of vantrel 1.5, for measurements). */
#define VANTREL_DECODER_SILENCE 1u

/* Opens a decoder; `config` may be null for the defaults. Frames bring their own parameters.
 * Flag bits other than VANTREL_DECODER_SILENCE: VANTREL_ERROR_BAD_ARGUMENT. */
VANTREL_API int vantrel_decoder_open(const vantrel_decoder_config* config,
                                     vantrel_decoder** decoder);

/* Closes the decoder and frees it; a null handle is accepted. */
VANTREL_API int vantrel_decoder_close(vantrel_decoder* decoder);

/* Back to the state just after opening (history, counts and input cleared; the flags kept). */
VANTREL_API int vantrel_decoder_reset(vantrel_decoder* decoder);

/* Frame by frame: decodes the one frame at the start of `bytes` into `pcm` (capacity values;
 * VANTREL_MAX_FRAME_VALUES always suffice) and sets *used to its length and *written to the
 * values written (samples × channels). `info` (may be null) receives its header.
 *   VANTREL_OK       decoded;
 *   VANTREL_DAMAGED  its CRC failed: concealed in its place (the timing is kept);
 *   VANTREL_ERROR_NOT_A_FRAME, VANTREL_ERROR_NEED_MORE, VANTREL_ERROR_BUFFER_TOO_SMALL.
 * The synthesis history runs on from call to call, so give the frames in stream order. */
VANTREL_API int vantrel_decoder_decode_frame(vantrel_decoder* decoder, const uint8_t* bytes,
                                             size_t size, int16_t* pcm, size_t capacity,
                                             size_t* used, size_t* written,
                                             vantrel_frame_info* info);

/* Frame by frame, many frames a call, some of them lost: a link's losses simulated, or known
 * from its own sequence numbers. Frame i starts at bytes + i × stride (`stride` the frame length
 * for frames back to back; for the mSBC frames of H2 units, 60 with `bytes` 2 past the first
 * unit's start). Frames with lost[i] non-zero are concealed as by vantrel_decoder_conceal and
 * their bytes are not read; the others are decoded as by vantrel_decoder_decode_frame (`lost`
 * may be null: none lost). The samples of all `count` frames go to `pcm` back to back;
 * *done is the frames handled and *written the values written.
 *   VANTREL_OK        all `count` frames handled;
 *   VANTREL_DAMAGED   all handled, and a CRC failed in one or more (concealed in place);
 *   else the status of frame *done, which stopped the call with the frames before it handled:
 *   VANTREL_ERROR_NEED_MORE (its bytes end early, or it is lost before any frame was decoded:
 *   its shape is unknown), VANTREL_ERROR_NOT_A_FRAME, VANTREL_ERROR_BUFFER_TOO_SMALL.
 * A zero `stride`: VANTREL_ERROR_BAD_ARGUMENT. A decoder following a stream:
 * VANTREL_ERROR_WRONG_USE. */
VANTREL_API int vantrel_decoder_decode_frames(vantrel_decoder* decoder, const uint8_t* bytes,
                                              size_t size, size_t stride, const uint8_t* lost,
                                              size_t count, int16_t* pcm, size_t capacity,
                                              size_t* done, size_t* written);

/* Following a stream, as vantrel-decode does: bytes go in as they arrive, in pieces of any size
 * (bare SBC, bare mSBC or mSBC in H2 units, told apart by content), samples come out. Frames
 * whose CRC fails, and lost H2 units, are concealed over a frame's length; bytes that belong to
 * no frame are skipped; the counts are in vantrel_stream_info. The first frame fixes the
 * output's frequency and channel count; a confirmed change of either ends the decoding (the
 * samples before it are all delivered, then VANTREL_ERROR_STREAM_CHANGED).
 *
 * Each call takes what it needs of `bytes` (*used of `size`) and writes at most `capacity`
 * values to `pcm`, whole instants (*written); `capacity` must be at least 2
 * (VANTREL_MAX_FRAME_VALUES or more keeps the calls few). It returns with *used == size and
 * *written == 0 only when everything given has been turned into samples, so a loop reads:
 *
 *   for (;;) {
 *       int s = vantrel_decoder_decode(d, in, n, pcm, cap, &used, &got);
 *       if (s < 0) break;                     // error, or the end (see below)
 *       consume(pcm, got); in += used; n -= used;
 *       if (n == 0 && got == 0) break;        // give more bytes, or finish
 *   }
 *
 * At the end of input call vantrel_decoder_finish, then run the same loop with n = 0 until
 * *written is 0: the last frames are decided and delivered. After the end has been delivered,
 * a stream that held no frame at all gives VANTREL_ERROR_NO_FRAMES. */
VANTREL_API int vantrel_decoder_decode(vantrel_decoder* decoder, const uint8_t* bytes, size_t size,
                                       int16_t* pcm, size_t capacity, size_t* used,
                                       size_t* written);

/* One lost frame, which the caller knows of (a link whose own sequence numbers or timestamps
 * show a gap): writes its concealed samples (silence with VANTREL_DECODER_SILENCE) to `pcm`,
 * in the shape of the last frame decoded or concealed (its blocks × subbands instants and
 * channels), and sets *written to their count of values. Call it once per lost frame, where
 * the frame belongs: between two vantrel_decoder_decode_frame calls, or, following a stream,
 * when every sample of the frames before the gap has been delivered.
 *   VANTREL_ERROR_NEED_MORE         no frame decoded yet: the lost frame's shape is unknown;
 *   VANTREL_ERROR_WRONG_USE         following a stream, samples of earlier frames are still held
 *                                   (call vantrel_decoder_decode until it writes nothing);
 *   VANTREL_ERROR_STREAM_CHANGED    the stream followed has ended at a change;
 *   VANTREL_ERROR_BUFFER_TOO_SMALL  `capacity` below the frame's values
 *                                   (VANTREL_MAX_FRAME_VALUES always suffice). */
VANTREL_API int vantrel_decoder_conceal(vantrel_decoder* decoder, int16_t* pcm, size_t capacity,
                                        size_t* written);

/* No more input will come. Later calls of vantrel_decoder_decode with bytes:
 * VANTREL_ERROR_FINISHED. */
VANTREL_API int vantrel_decoder_finish(vantrel_decoder* decoder);

typedef struct vantrel_stream_info {
    uint32_t struct_size;       /* sizeof(vantrel_stream_info) */
    int32_t kind;               /* VANTREL_KIND_*: NONE until the first frame */
    int32_t sampling_frequency; /* of the output, from the first frame (0 before) */
    int32_t channels;           /* of the output (0 before) */
    int64_t frames;             /* frames decoded */
    int64_t damaged;            /* frames concealed (or silenced): CRC failed or unreadable */
    int64_t lost;               /* H2 units missing from the stream, concealed (or silenced) */
    int64_t skipped_bytes;      /* bytes that belong to no frame */
    int64_t bytes;              /* bytes taken in */
    int64_t samples;            /* instants (per channel) delivered */
    int32_t ended;              /* 1 when finished and everything has been delivered */
    int32_t changed;            /* 1 when decoding stopped at a change of stream */
    int64_t change_offset;      /* the stream offset of that change (-1: none) */
    int32_t change_frequency;   /* the frequency and channels the stream changed to */
    int32_t change_channels;
} vantrel_stream_info;

/* The stream's description and counts so far. `info->struct_size` must be set by the caller.
 * The program's summary of a damaged stream reads, from these counts:
 * "%lld frames decoded; %lld damaged and %lld lost concealed; %lld bytes skipped" ("replaced
 * by silence" instead of "concealed" with VANTREL_DECODER_SILENCE). Frames given by
 * vantrel_decoder_conceal are not counted. */
VANTREL_API int vantrel_decoder_get_info(const vantrel_decoder* decoder, vantrel_stream_info* info);

/* ---- The stream report (what vantrel-info says) ----------------------------------------- */

#define VANTREL_REPORT_VALUES 8

typedef struct vantrel_stream_report {
    uint32_t struct_size; /* sizeof(vantrel_stream_report) */
    int32_t kind;         /* VANTREL_KIND_*: what the first frame showed (NONE: no frame) */
    int64_t frames;       /* good frames */
    int64_t damaged;      /* damaged frames */
    int64_t lost;         /* lost H2 units */
    int64_t skipped_bytes;
    int64_t bytes;   /* bytes scanned */
    double seconds;  /* the audio the frames stand for, damaged and lost ones included */
    double bit_rate; /* bit/s of the good frames (H2 framing not counted); 0 without */
    /* Each parameter's distinct values over the good frames, in order of first appearance. */
    int32_t frequency_count, frequencies[VANTREL_REPORT_VALUES];
    int32_t channel_mode_count, channel_modes[VANTREL_REPORT_VALUES];
    int32_t subband_count, subbands[VANTREL_REPORT_VALUES];
    int32_t block_count, blocks[VANTREL_REPORT_VALUES];
    int32_t allocation_count, allocations[VANTREL_REPORT_VALUES];
    int32_t bitpool_min, bitpool_max; /* -1 without good frames */
    int32_t reserved0;                /* 0; keeps the counts below 8-byte aligned */
    int64_t bitpool_frames[256];      /* good frames per bitpool */
} vantrel_stream_report;

/* Scans a whole stream held in memory (`size` bytes; `bytes` may be null when size is 0) and
 * fills the report vantrel-info prints for it. `report->struct_size` must be set by the
 * caller. A stream without any frame is no error: kind is VANTREL_KIND_NONE. */
VANTREL_API int vantrel_scan(const uint8_t* bytes, size_t size, vantrel_stream_report* report);

/* ---- Captures of Bluetooth links --------------------------------------------------------
 *
 * An HCI log (btsnoop as Android and btmon write it, pcap or pcapng with link type 201 or 254),
 * held in memory, gives its audio streams: A2DP SBC media (L2CAP reassembled, the AVDTP
 * configuration when the capture holds the signalling, RTP and the media header stripped) and
 * mSBC over SCO (cut into H2 units). Streams are numbered from 0 in the order they appear; lost
 * frames (RTP sequence and timestamp gaps, SCO timing and status flags) are counted and, when
 * decoding, filled in by the decoder's concealment so the stream keeps its length. This is what
 * vantrel-info and vantrel-decode do with a capture.
 *
 *   vantrel_capture* c;  vantrel_capture_open(bytes, size, &c);     // reads it through once
 *   vantrel_capture_stream s = {sizeof s};  vantrel_capture_get_stream(c, 0, &s);
 *   int16_t* pcm = malloc(s.values * 2);
 *   vantrel_capture_decode(bytes, size, 0, pcm, s.values, &written);  // reads it again
 */

typedef struct vantrel_capture vantrel_capture;

/* VANTREL_CAPTURE_*: the kind of a stream. */
enum { VANTREL_CAPTURE_A2DP_SBC = 1, VANTREL_CAPTURE_MSBC = 2 };

typedef struct vantrel_capture_stream {
    uint32_t struct_size; /* sizeof(vantrel_capture_stream) */
    int32_t index;        /* 0, 1, ... */
    int32_t kind;         /* VANTREL_CAPTURE_A2DP_SBC or VANTREL_CAPTURE_MSBC */
    int32_t received;     /* 1: from the controller to the host (the local device listens) */
    int32_t adapter;      /* the controller's index (Linux monitor captures), else 0 */
    int32_t handle;       /* connection handle: ACL for A2DP, SCO for mSBC */
    int32_t channel;      /* A2DP: the L2CAP channel its packets carry; 0 for SCO */
    int32_t configured;   /* 1 when the capture held its AVDTP configuration (below) */
    /* The SBC codec element, each a bit set as AVDTP carries it: frequencies 8 16000, 4 32000,
     * 2 44100, 1 48000 Hz; channel modes 8 MONO, 4 DUAL_CHANNEL, 2 STEREO, 1 JOINT_STEREO;
     * blocks 8 4, 4 8, 2 12, 1 16; subbands 2 4, 1 8; allocations 2 SNR, 1 LOUDNESS. */
    int32_t config_frequencies, config_channel_modes, config_blocks, config_subbands,
        config_allocations;
    int32_t config_min_bitpool, config_max_bitpool;
    int32_t sampling_frequency; /* of its first good frame (0 without one) */
    int32_t channels;
    int64_t start_us;  /* its first packet, in microseconds from the capture's first record */
    int64_t packets;   /* its packets in the capture */
    int64_t frames;    /* good frames */
    int64_t damaged;   /* frames that cannot be trusted (CRC, status flags) */
    int64_t lost;      /* frames missing from the capture */
    int64_t truncated; /* packets cut short in the capture (a filtered Android log) */
    double seconds;    /* its duration, damaged and lost frames included */
    int64_t values;    /* the sample values vantrel_capture_decode writes for it */
} vantrel_capture_stream;

typedef struct vantrel_capture_info {
    uint32_t struct_size; /* sizeof(vantrel_capture_info) */
    int32_t format;       /* 1 btsnoop, 2 pcap, 3 pcapng */
    int32_t link_type;    /* btsnoop datalink or pcap link type */
    int32_t filtered;     /* 1: Android's filtered snoop log, whose media packets hold no audio */
    int64_t records;
    int64_t streams;
    double seconds; /* from its first record to its last */
} vantrel_capture_info;

/* Reads a capture held in memory (`bytes` is not kept) and lists its streams.
 * VANTREL_ERROR_NOT_A_CAPTURE when the bytes begin no capture; a capture without audio is no
 * error (0 streams). */
VANTREL_API int vantrel_capture_open(const uint8_t* bytes, size_t size, vantrel_capture** capture);
/* Frees it; a null handle is accepted. */
VANTREL_API int vantrel_capture_close(vantrel_capture* capture);
/* The capture as a whole (`info->struct_size` set by the caller). */
VANTREL_API int vantrel_capture_get_info(const vantrel_capture* capture,
                                         vantrel_capture_info* info);
/* Stream `index` (`stream->struct_size` set by the caller); VANTREL_ERROR_NO_STREAM past the
 * last. */
VANTREL_API int vantrel_capture_get_stream(const vantrel_capture* capture, size_t index,
                                           vantrel_capture_stream* stream);
/* Decodes stream `index` of the capture in `bytes` (the same bytes as opened) into `pcm`,
 * interleaved 16-bit samples of its first frame's channel count, lost and damaged frames
 * concealed; *written values in all (the stream's `values`). VANTREL_ERROR_BUFFER_TOO_SMALL
 * (nothing written) when `capacity` is below them; VANTREL_ERROR_NO_STREAM when there is no such
 * stream or it has no frame; VANTREL_ERROR_STREAM_CHANGED when it changes its frequency or
 * channel count (the values before the change are written). */
VANTREL_API int vantrel_capture_decode(const uint8_t* bytes, size_t size, size_t index,
                                       int16_t* pcm, size_t capacity, size_t* written);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_VANTREL_H */
