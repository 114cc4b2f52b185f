// SBC codec library: the public face (the encoder, then the decoder).
//
// SBC (the low-complexity sub-band codec of Bluetooth A2DP) cuts each channel into 4 or 8
// frequency bands, sends one 4-bit exponent (scale factor) per band and frame, and spends a
// fixed budget of bits, the bitpool, on the band samples. One encoder codes one stream:
//
//     16-bit PCM, interleaved ──► encoder_encode_frame ──► one SBC frame (bytes)
//        subbands × blk_len          (filter bank, scale factors, joint stereo,
//        instants per frame           bit allocation, quantiser, packing + CRC-8)
//
// Calling order
//   1. encoder_create      fixes sampling frequency, channels, subbands and blk_len;
//   2. encoder_configure   chooses channel mode, bitpool and allocation method (may be repeated),
//      or encoder_configure_msbc makes it an mSBC encoder (every parameter fixed);
//   3. encoder_frame_length tells how many bytes each frame will take (size buffers with it);
//   4. encoder_encode_frame once per frame, in stream order (the filter history runs on);
//   5. encoder_destroy.
//
// Every frame of a configured encoder has the same length, at most MAX_FRAME_LENGTH bytes.
// Output is bit-exact: it does not depend on the compiler's optimisation level.
// Nothing is allocated after encoder_create; an encoder is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace sbc {

// ---- Parameter codes, as the frame header carries them ------------------------------------

// Channel modes. A one-channel stream is always MONO; a two-channel stream is DUAL_CHANNEL
// unless STEREO or JOINT_STEREO is asked for.
inline constexpr int32_t MONO = 0, DUAL_CHANNEL = 1, STEREO = 2, JOINT_STEREO = 3;
// Allocation methods. Any non-zero value means SNR.
inline constexpr int32_t LOUDNESS = 0, SNR = 1;

// The sampling frequencies of SBC, in the order of their index (0..3).
inline constexpr std::array<int32_t, 4> SAMPLING_FREQUENCIES = {16000, 32000, 44100, 48000};

// Capacities.
inline constexpr int32_t MAX_CHANNELS = 2;
inline constexpr int32_t MAX_SUBBANDS = 8;
inline constexpr int32_t MAX_BLOCKS = 16;
inline constexpr int32_t MAX_FRAME_SAMPLES = MAX_SUBBANDS * MAX_BLOCKS; // per channel
// The longest frame any accepted configuration produces: DUAL_CHANNEL, 8 subbands,
// 16 blocks, bitpool 128.
inline constexpr int32_t MAX_FRAME_LENGTH = 524;

// True when a frame of `subbands` bands and `blk_len` blocks fits the fixed working arrays.
// (The frame header itself only allows blk_len 4, 8, 12 or 16; format_init enforces that.)
constexpr bool frame_shape_ok(int32_t subbands, int32_t blk_len) {
    return (subbands == 4 || subbands == 8) && blk_len >= 1 && blk_len <= MAX_BLOCKS;
}

// ---- mSBC and its H2 units ----------------------------------------------------------------

// mSBC, the wideband speech codec of the hands-free profile, is SBC with every parameter fixed;
// its header carries none of them (sync word 0xAD, then two zero bytes where SBC has its
// parameter byte and bitpool).
inline constexpr int32_t MSBC_SAMPLING_FREQUENCY = 16000; // MONO
inline constexpr int32_t MSBC_SUBBANDS = 8;
inline constexpr int32_t MSBC_BLOCKS = 15;
inline constexpr int32_t MSBC_ALLOCATION_METHOD = LOUDNESS;
inline constexpr int32_t MSBC_BITPOOL = 26;
inline constexpr int32_t MSBC_FRAME_LENGTH = 57;   // bytes, every frame
inline constexpr int32_t MSBC_FRAME_SAMPLES = 120; // 7.5 ms at 16000 Hz

// On a voice link each mSBC frame travels in a 60-byte H2 unit:
//   0x01, a sequence byte (H2_SEQUENCE[n % 4] for the n-th unit), the frame, one byte 0x00.
inline constexpr int32_t H2_UNIT_LENGTH = 60;
inline constexpr uint8_t H2_SYNC_BYTE = 0x01;
inline constexpr std::array<uint8_t, 4> H2_SEQUENCE = {0x08, 0x38, 0xC8, 0xF8};

// Writes the H2 unit that carries `frame` (one whole mSBC frame, MSBC_FRAME_LENGTH bytes) as the
// unit numbered `unit_index` of its stream (counted from 0; its sequence byte is
// H2_SEQUENCE[unit_index % 4]) into the first H2_UNIT_LENGTH bytes of `unit`. Returns
// H2_UNIT_LENGTH, or -1 and writes nothing when `frame` is not MSBC_FRAME_LENGTH bytes long or
// `unit` is shorter than H2_UNIT_LENGTH. `frame` and `unit` must not overlap.
int32_t h2_unit_write(std::span<const uint8_t> frame, uint64_t unit_index, std::span<uint8_t> unit);

// ---- Reading a frame's header -------------------------------------------------------------

enum class FrameKind : int32_t { sbc, msbc };

// What a frame's first bytes say about it (for mSBC, the fixed parameters).
struct FrameHeader {
    FrameKind kind = FrameKind::sbc;
    int32_t sampling_frequency = 0; // Hz
    int32_t frequency_index = 0;    // 0..3
    int32_t blocks = 0;             // 4, 8, 12 or 16; 15 for mSBC
    int32_t channel_mode = MONO;
    int32_t channels = 0;          // 1 for MONO, else 2
    int32_t allocation_method = 0; // LOUDNESS or SNR
    int32_t subbands = 0;          // 4 or 8
    int32_t bitpool = 0;
    int32_t length = 0; // bytes of the whole frame, header to padding
};

// Results of frame_header_parse.
inline constexpr int HEADER_OK = 0;
inline constexpr int HEADER_SHORT = 1;   // fewer than 3 bytes: not yet known
inline constexpr int HEADER_INVALID = 2; // not the start of a frame

// Reads the header at the start of `bytes` (the sync word, the parameter byte and the bitpool;
// the CRC byte is not examined). HEADER_INVALID when the first byte is neither sync word, when
// an mSBC frame's two reserved bytes are not zero, or when the bitpool exceeds what bit
// allocation can spend (16 × subbands per channel in MONO and DUAL_CHANNEL, 32 × subbands in
// STEREO and JOINT_STEREO): no decoder can read such a frame. `header` is filled only on
// HEADER_OK.
int frame_header_parse(std::span<const uint8_t> bytes, FrameHeader& header);

// Bytes from the frame's start that its CRC-8 needs: the header, the join flags and the scale
// factors (rounded up to whole bytes).
int32_t frame_crc_span(const FrameHeader& header);

// True when byte 3 of `frame` is the CRC-8 of bytes 1 and 2, the join flags and the scale
// factors, as `header` (from frame_header_parse of the same bytes) lays them out; false also
// when `frame` is shorter than frame_crc_span(header).
bool frame_crc_ok(std::span<const uint8_t> frame, const FrameHeader& header);

// ---- Data model ---------------------------------------------------------------------------

struct AnalysisState; // the filter bank's coefficients and history, see sbc/analysis.h

// One encoder. encoder_create sets analysis, sampling_frequency, blk_len, channels, subbands
// and samples_per_channel; encoder_configure (or encoder_configure_msbc) sets the others (until
// then channel_mode, bitpool and frequency_index hold -1, and the encoder refuses to encode).
struct EncoderState {
    EncoderState(); // out of line: AnalysisState is only complete inside the library
    ~EncoderState();

    std::unique_ptr<AnalysisState> analysis;
    int32_t sampling_frequency = 0;  // Hz, as passed to encoder_create
    int32_t frequency_index = -1;    // 0..3
    int32_t blk_len = 0;             // blocks per frame
    int32_t channel_mode = -1;       // after format_init's adjustment
    int32_t channels = 0;            // 1 or 2
    int32_t allocation_method = 0;   // as passed; 0 LOUDNESS, non-zero SNR
    int32_t subbands = 0;            // 4 or 8
    int32_t bitpool = -1;            // as passed, within 0..encoder_max_bitpool()
    int32_t samples_per_channel = 0; // subbands × blk_len: PCM instants per frame
    uint8_t header_byte = 0;         // the frame's parameter byte, built by format_init
    // Bytes 0 and 2 of every frame: SBC's sync word 0x9C and the bitpool; for mSBC 0xAD and 0
    // (with header_byte 0), since its header names no parameter. The CRC covers bytes 1 and 2
    // as they stand.
    uint8_t sync_byte = 0x9C;
    uint8_t bitpool_byte = 0;

    // The frame that digital silence gives, kept from the first one encoded so that later
    // silent frames are copies, with the parameters it was made under (it serves only while
    // they hold; silent_length 0: none kept).
    std::array<uint8_t, MAX_FRAME_LENGTH> silent_frame{};
    int32_t silent_length = 0;
    std::array<int32_t, 5> silent_made_with{}; // header_byte, channel_mode, bitpool, allocation,
                                               // sync_byte
};

// Working rows of one frame, indexed [channel][block × subbands + subband] or
// [channel][subband]; sized for the largest frame whatever the parameters.
using SampleRow = std::array<float, MAX_FRAME_SAMPLES>;
using QuantizedRow = std::array<int32_t, MAX_FRAME_SAMPLES>;
using SubbandRow = std::array<int32_t, MAX_SUBBANDS>;

// The working arrays of one encoder_encode_frame call (automatic storage, nothing kept).
struct FrameWorkspace {
    std::array<SampleRow, MAX_CHANNELS> pcm_in;           // de-interleaved PCM as floats
    std::array<SampleRow, MAX_CHANNELS> sb_sample;        // subband samples (clamped, joined)
    std::array<SampleRow, MAX_CHANNELS> sb_sample_ms;     // JOINT_STEREO: mid, side
    std::array<SubbandRow, MAX_CHANNELS> scale_factor;    // 0..15
    std::array<SubbandRow, MAX_CHANNELS> scale_factor_ms; // JOINT_STEREO: of mid and side
    SubbandRow join;                                      // JOINT_STEREO: 1 = mid/side
    std::array<SubbandRow, MAX_CHANNELS> bits;            // bits per sample, 0..16
    std::array<QuantizedRow, MAX_CHANNELS> quantized;     // 0..2^bits - 1
};

// ---- Operations, in calling order ---------------------------------------------------------

// Index 0..3 of a sampling frequency (16000, 32000, 44100, 48000 Hz), or -1 for any other.
int32_t encoder_frequency_index(int32_t sampling_frequency);

// A new encoder with zeroed filter history (the stream starts after silence).
// Returns null for `subbands` other than 4 or 8, for `channels` outside 1..2 (the filter
// bank holds the history of at most two channels), and when memory runs out. The sampling frequency
// and blk_len are checked later by encoder_configure, which refuses them through format_init.
std::unique_ptr<EncoderState> encoder_create(int32_t sampling_frequency, int32_t channels,
                                             int32_t subbands, int32_t blk_len);

// The largest bitpool that bit allocation can spend in `channel_mode` with `subbands` bands,
// capped at 255 (the frame's bitpool byte): 16 × subbands for MONO and DUAL_CHANNEL (and any
// other code, which configuration turns into one of them), 32 × subbands for STEREO and
// JOINT_STEREO. -1 for `subbands` other than 4 or 8.
int32_t encoder_max_bitpool(int32_t channel_mode, int32_t subbands);

// Builds the frame header byte and the adjusted channel mode (one channel: MONO whatever was
// asked; two channels: STEREO or JOINT_STEREO as asked, DUAL_CHANNEL otherwise).
// Returns 0 and fills the three outputs, or 1 when the frequency is unknown, blk_len is not
// 4, 8, 12 or 16, channels is not 1 or 2, or subbands is not 4 or 8 (outputs then unusable).
int format_init(int32_t sampling_frequency, int32_t channels, int32_t channel_mode,
                int32_t subbands, int32_t blk_len, int32_t allocation_method, uint8_t& header_byte,
                int32_t& frequency_index, int32_t& adjusted_mode);

// Results of encoder_configure.
inline constexpr int CONFIGURE_OK = 0;
inline constexpr int CONFIGURE_BAD_BITPOOL = 1; // bitpool outside 0..encoder_max_bitpool()
inline constexpr int CONFIGURE_BAD_FORMAT = 2;  // format_init refused the combination

// Sets channel mode, bitpool and allocation method (filter history is kept). Returns
//   CONFIGURE_OK          configured;
//   CONFIGURE_BAD_FORMAT  format_init refused the creation parameters with this mode and
//                         method; the encoder has printed
//                           "\nError format_init (%d, %d, %d, %d, %d, %d)\n"
//                         (frequency, channels, requested mode, subbands, blk_len, allocation
//                         method) on standard error;
//   CONFIGURE_BAD_BITPOOL a bitpool below 0 or above encoder_max_bitpool(adjusted mode,
//                         subbands), silently.
// A refusal leaves the state as it was; the process always goes on.
int encoder_configure(EncoderState& state, int32_t channel_mode, int32_t bitpool,
                      int32_t allocation_method);

// Result of encoder_configure_msbc for an encoder not created as below.
inline constexpr int CONFIGURE_NOT_MSBC = 3;

// Makes an encoder an mSBC encoder, for the wideband speech of the hands-free profile: MONO,
// LOUDNESS, bitpool MSBC_BITPOOL, and the mSBC frame header (the frames then have
// MSBC_FRAME_LENGTH bytes and carry MSBC_FRAME_SAMPLES instants each). The encoder must come
// from encoder_create(MSBC_SAMPLING_FREQUENCY, 1, MSBC_SUBBANDS, MSBC_BLOCKS); anything else
// (another sampling frequency, two channels) is refused with CONFIGURE_NOT_MSBC, silently and
// leaving the state as it was. Returns CONFIGURE_OK otherwise; the filter history is kept.
int encoder_configure_msbc(EncoderState& state);

// Bytes of every frame of a configured encoder (4 header bytes, join flags, scale factors and
// exactly `bitpool` sample bits per channel or per channel pair, padded to a byte), or -1
// when the state has not been configured.
int32_t encoder_frame_length(const EncoderState& state);

// Encodes one frame: `pcm` holds samples_per_channel × channels values interleaved by channel
// (instant 0 of channel 0, of channel 1, instant 1, ...). The frame is written at
// out[out_len], out_len grows by its length, and the length is returned.
// Refuses, returning -1 and changing nothing (not even the filter history), when the state is
// not configured, pcm is too short, or out_len is negative or leaves less than
// encoder_frame_length() bytes in `out`.
int32_t encoder_encode_frame(EncoderState& state, std::span<const int16_t> pcm,
                             std::span<uint8_t> out, int32_t& out_len);

// Releases the encoder and its filter bank. Always returns 0.
int encoder_destroy(std::unique_ptr<EncoderState> state);

// ---- Encoding one stream in parts ---------------------------------------------------------
//
// A frame depends only on its own samples, the configuration and the filter history (the 9
// blocks before it). So the frames of one stream can be cut into spans that separate encoders,
// on separate threads, code at once, and together they give exactly the bytes of one pass:
//
//   auto part = encoder_create_like(whole);           // once per thread
//   for each span [first, end) of frames:
//       encoder_reset(*part);
//       for f in first - encoder_priming_frames(*part, first) .. first - 1:
//           encoder_encode_frame(*part, pcm of f, scratch, n);      // bytes thrown away
//       for f in first .. end - 1:
//           encoder_encode_frame(*part, pcm of f, out, out_len);    // the stream's frames
//
// Encoders share nothing: any number of them may run on different threads at once.

// A new encoder with the creation parameters and configuration of `state` and a history of
// zeros (as after encoder_create). Null when `state` is not configured.
std::unique_ptr<EncoderState> encoder_create_like(const EncoderState& state);

// Forgets the filter history: the next frame is coded as the first frame of a stream (after
// silence). The configuration is kept.
void encoder_reset(EncoderState& state);

// How many frames before frame `first_frame` of a stream a reset encoder must encode (in stream
// order, output discarded) for frame `first_frame` to come out exactly as in one pass from the
// start: the frames that cover the filter's reach of 9 blocks (1 for 12 or 16 blocks, 2 for 8,
// 3 for 4), or `first_frame` itself near the start. -1 when `state` is not configured or
// `first_frame` is negative.
int64_t encoder_priming_frames(const EncoderState& state, int64_t first_frame);

// ---- Decoding -----------------------------------------------------------------------------
//
// One decoder reads one stream back, frame by frame, in stream order:
//
//   bytes ──► frame_header_parse ──► decoder_decode_frame ──► 16-bit PCM (or float), interleaved
//             (parameters, length)   (CRC-8, bit allocation, dequantiser, joint stereo,
//                                     synthesis filter bank in double precision)
//
// Calling order
//   1. decoder_create;
//   2. for each frame: frame_header_parse on the bytes at hand (it gives the frame's length),
//      then decoder_decode_frame (or decoder_decode_frame_float) with at least header.length
//      bytes; for a frame known to be lost, decoder_conceal_frame (or _float) instead;
//   3. decoder_destroy.
//
// Lost and damaged frames are concealed by default: the waveform before the gap continues
// through it (its best-matching earlier stretch repeated, at full level for 10 ms, faded to
// silence by 50 ms), and the synthesis history runs on through the gap, so the first good frame
// after it joins without a jump. Concealment adds no delay (a lost frame's samples are made
// when its loss is known) and changes nothing while no frame is lost: a stream without loss
// decodes to the same samples in either mode. Concealment::silence gives silence instead and
// restarts the next frame from cleared history.
//
// Every frame brings its own parameters: bitpool, allocation method, blocks, channel mode,
// subbands and sampling frequency may change from one frame to the next, and SBC and mSBC
// frames may follow each other. The synthesis history (the last 9 blocks of every channel)
// runs on from frame to frame while the number of subbands and of channels stay the same; a
// frame whose subbands or channel count differ from the previous frame's starts from cleared
// history, as the first frame of a stream does (as if silence preceded it).
//
// Output: a frame gives header.blocks × header.subbands instants, each of header.channels
// values interleaved (channel 0, channel 1); a buffer of MAX_FRAME_SAMPLES × MAX_CHANNELS
// values holds any frame, mSBC's 120 instants included. A 16-bit sample is the filter bank's
// double-precision value rounded to nearest (halves away from zero) and saturated to
// -32768..32767, never wrapped. A float sample is the same value divided by 32768 (full scale
// ±1.0) and not saturated: an overdriven stream gives values beyond ±1.0. Nothing is shifted
// for the codec's delay: encoder and decoder together delay a signal by 9 × subbands + 1
// instants (73 or 37), and the first frame of a stream begins with the filter's start-up.
//
// Output is bit-exact: the same frames give the same samples on every build, optimisation
// level and processor (the vector paths compute exactly what the plain one does). Nothing is
// allocated after decoder_create and nothing is printed; a decoder is used by one thread at a
// time.

struct SynthesisState; // the synthesis filter bank's history, see sbc/decode/synthesis.h
struct ConcealState;   // the output kept for concealment, see sbc/decode/conceal.h

// What stands in for a lost or damaged frame.
enum class Concealment : int32_t {
    automatic, // the waveform continued through the gap (the default)
    silence,   // silence of the frame's length; the next frame starts from cleared history
};

// One decoder. The counters grow with every frame given to it.
struct DecoderState {
    DecoderState(); // out of line: SynthesisState is only complete inside the library
    ~DecoderState();

    std::unique_ptr<SynthesisState> synthesis;
    std::unique_ptr<ConcealState> conceal;
    Concealment concealment = Concealment::automatic; // set through decoder_set_concealment
    int32_t subbands = 0;         // the history's shape: of the last frame decoded or concealed
    int32_t channels = 0;         // (0 before the first)
    int64_t frames_decoded = 0;   // frames decoded from their bytes (CRC correct)
    int64_t frames_damaged = 0;   // frames whose CRC failed, concealed (or silenced)
    int64_t frames_concealed = 0; // frames filled in by decoder_conceal_frame
};

// A new decoder with cleared history, concealing; null only when memory runs out.
std::unique_ptr<DecoderState> decoder_create();

// Chooses what stands in for the lost and damaged frames from the next frame on (a change
// forgets the output kept for concealment; the synthesis history runs on).
void decoder_set_concealment(DecoderState& state, Concealment concealment);

// Results of decoder_decode_frame and decoder_conceal_frame, besides a count of instants.
inline constexpr int32_t DECODE_REFUSED = -1;   // bad arguments: nothing written or changed
inline constexpr int32_t DECODE_CRC_ERROR = -2; // damaged frame: concealed (or silence)

// Decodes the frame at the start of `frame` into `pcm` (interleaved, as above) and returns
// the number of instants written, header.blocks × header.subbands. Only the first
// header.length bytes of `frame` are read; `pcm` receives exactly instants × header.channels
// values and nothing beyond them.
//   DECODE_CRC_ERROR  the frame's CRC-8 does not match its header and scale factors: its
//                     bytes cannot be trusted, so header.blocks × header.subbands instants are
//                     written as for a lost frame (decoder_conceal_frame), keeping the
//                     stream's timing, and frames_damaged grows by one;
//   DECODE_REFUSED    `frame` is shorter than header.length, `pcm` is too short, or `header`
//                     is not what frame_header_parse reads from these bytes.
// Join flag of the last subband set in a JOINT_STEREO frame: ignored (the syntax reserves it).
int32_t decoder_decode_frame(DecoderState& state, std::span<const uint8_t> frame,
                             const FrameHeader& header, std::span<int16_t> pcm);

// decoder_decode_frame with float samples (full scale ±1.0, not saturated); same results.
int32_t decoder_decode_frame_float(DecoderState& state, std::span<const uint8_t> frame,
                                   const FrameHeader& header, std::span<float> pcm);

// A frame that was lost (a gap in the stream, e.g. a skipped H2 sequence number): writes
// header.blocks × header.subbands instants of header's channel count and returns their number;
// frames_concealed grows by one. `header` gives the lost frame's shape (usually its
// neighbour's). Concealment::automatic continues the waveform (silence, and cleared history,
// when the lost frame's subbands, channels or sampling frequency differ from the frame before
// it, when nothing came before, or when the frequency is none of the four);
// Concealment::silence writes zeros and clears the history. DECODE_REFUSED when `pcm` is too
// short or `header` is no shape frame_header_parse gives (subbands 4 or 8, 1..16 blocks, 1 or
// 2 channels matching the channel mode).
int32_t decoder_conceal_frame(DecoderState& state, const FrameHeader& header,
                              std::span<int16_t> pcm);
int32_t decoder_conceal_frame_float(DecoderState& state, const FrameHeader& header,
                                    std::span<float> pcm);

// Releases the decoder. Always returns 0.
int decoder_destroy(std::unique_ptr<DecoderState> state);

} // namespace sbc
