// The encoding run: one pass from an audio file to a stream of SBC frames.
//
//   audio_open ─► checks ─► encoder_create ─► bitpool from the bit rate ─► encoder_configure
//        │                                                                        │
//        └──► per frame: subbands × blk_len sample instants ─► 16-bit PCM ─► encode ─┐
//                                                         output block (about 64 KiB) ◄─┘ ─► write
//
// Bitpool from the bit rate (32-bit integers, C division, refused where it would overflow):
//   frame bytes = rate × subbands × blk_len ÷ (frequency × 8),  frame bits = frame bytes × 8
//   fixed bits  = channels × subbands × 4 + 32
//   MONO, DUAL_CHANNEL:       (frame bits − fixed) ÷ (channels × blk_len)
//   STEREO, JOINT_STEREO:     (frame bits − fixed − (subbands in JOINT_STEREO)) ÷ blk_len
// A rate whose bitpool a frame cannot carry is refused with the interval of rates that works.
//
// Samples reach the encoder on the 16-bit scale and saturate instead of wrapping. Only whole
// frames of real data are encoded: when the data ends early, the stream ends with the last whole
// frame, and the run says how much of the promised data it found.
#include "audiofile/audiofile.h"
#include "cli/frame_io.h"
#include "cli/parallel_run.h"
#include "cli/settings.h"
#include "sbc/sbc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace cli {

namespace {

constexpr int max_channels = 2;

// The bitpool for the requested rate, or nothing when a step would leave the 32-bit range.
std::optional<int32_t> derive_bitpool(const Settings& s, int32_t channel_mode, int32_t channels,
                                      int32_t frequency) {
    const auto fits = [](int64_t v) {
        return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
    };
    const int64_t product = int64_t{s.bit_rate} * s.subbands * s.blk_len;
    const int64_t divisor = int64_t{frequency} * 8;
    if (!fits(product) || !fits(divisor) || divisor == 0) return std::nullopt;
    const int64_t frame_bits = product / divisor * 8;
    const int64_t fixed_bits = int64_t{channels} * s.subbands * 4 + 32;
    int64_t bitpool = 0;
    if (channel_mode == sbc::MONO || channel_mode == sbc::DUAL_CHANNEL) {
        bitpool = (frame_bits - fixed_bits) / (int64_t{channels} * s.blk_len);
    } else {
        const int64_t join_bits = channel_mode == sbc::JOINT_STEREO ? s.subbands : 0;
        bitpool = (frame_bits - fixed_bits - join_bits) / s.blk_len;
    }
    if (!fits(frame_bits) || !fits(fixed_bits) || !fits(bitpool)) return std::nullopt;
    return static_cast<int32_t>(bitpool);
}

// The first rate in lo..hi at which `reached` holds, for a test that, once it holds, holds for
// every higher rate; hi + 1 when it never holds.
template <typename Test> int64_t first_rate(int64_t lo, int64_t hi, Test reached) {
    while (lo <= hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (reached(mid)) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

const char* mode_name(int32_t channel_mode) {
    constexpr std::array<const char*, 4> names = {"MONO", "DUAL_CHANNEL", "STEREO", "JOINT_STEREO"};
    return channel_mode >= 0 && channel_mode < 4 ? names[static_cast<size_t>(channel_mode)]
                                                 : "an unknown channel mode";
}

// Names the bit rates whose bitpool lies in 0..max_bitpool for this input and these options.
// The derived bitpool never falls as the rate rises, so those rates form one interval; its ends
// are searched with derive_bitpool itself, so every rate named gives a bitpool in range.
void print_workable_rates(const Settings& s, int32_t channel_mode, int32_t channels,
                          int32_t frequency, int32_t max_bitpool) {
    const auto bitpool_at = [&](int64_t rate) {
        Settings trial = s;
        trial.bit_rate = static_cast<int32_t>(rate);
        return derive_bitpool(trial, channel_mode, channels, frequency);
    };
    // Beyond this rate the derivation leaves the 32-bit range; at and below 0 nothing is left
    // for the samples.
    const int64_t top = std::numeric_limits<int32_t>::max() / (int64_t{s.subbands} * s.blk_len);
    const auto reaches_zero = [&](int64_t rate) {
        const auto b = bitpool_at(rate);
        return !b || *b >= 0;
    };
    const auto passes_max = [&](int64_t rate) {
        const auto b = bitpool_at(rate);
        return !b || *b > max_bitpool;
    };
    const int64_t lowest = first_rate(0, top, reaches_zero);
    const int64_t highest = first_rate(0, top, passes_max) - 1;
    const auto low_bitpool = bitpool_at(lowest), high_bitpool = bitpool_at(highest);
    if (lowest > highest || !low_bitpool || !high_bitpool || *low_bitpool < 0 ||
        *high_bitpool > max_bitpool)
        return;
    std::fprintf(stderr,
                 "bit rates from %lld to %lld bps give a valid bitpool at %d Hz in %s with %d "
                 "subbands and %d blocks\n",
                 static_cast<long long>(lowest), static_cast<long long>(highest), frequency,
                 mode_name(channel_mode), s.subbands, s.blk_len);
}

// Everything the run holds, released in the order the shutdown gives.
struct Run {
    std::unique_ptr<audiofile::AudioFile> input;
    std::unique_ptr<sbc::EncoderState> encoder;
    std::FILE* output = nullptr;
    std::span<const int16_t> viewed; // samples seen in place in the input, not yet encoded
};

// Frames asked of the input at once when its samples can be used in place.
constexpr size_t frames_per_view = 64;

// Releases the encoder, the input and the output. Returns false when the output could not be
// closed cleanly (its last bytes may be lost), which makes the run fail.
bool shut_down(Run& run) {
    if (run.encoder && sbc::encoder_destroy(std::move(run.encoder)) != 0) {
        std::fprintf(stderr, "\nError destroying SBC encoder\n");
        return false;
    }
    if (run.input && audiofile::audio_close(run.input) != 0) {
        std::fprintf(stderr, "\nError closing inputfile\n");
    }
    if (run.output != nullptr && std::fclose(run.output) != 0) {
        run.output = nullptr;
        std::fprintf(stderr, "\nError closing outputfile\n");
        return false;
    }
    run.output = nullptr;
    return true;
}

int fail(Run& run) {
    shut_down(run);
    return 1;
}

// Checks the parameters that the arithmetic below divides by or multiplies with.
bool frame_shape_is_usable(const Settings& s) {
    if (s.subbands <= 0) {
        std::fprintf(stderr, "\nsubbands: %d is not a positive number\n", s.subbands);
        return false;
    }
    if (s.blk_len <= 0) {
        std::fprintf(stderr, "\nblk_len: %d is not a positive number\n", s.blk_len);
        return false;
    }
    return true;
}

void print_figures(const Settings& s, int32_t channel_mode, int32_t bitpool) {
    const bool one_pool_per_channel =
        channel_mode == sbc::MONO || channel_mode == sbc::DUAL_CHANNEL;
    const double bits_per_sample = one_pool_per_channel
                                       ? static_cast<double>(bitpool) / s.subbands
                                       : static_cast<double>(bitpool) / (2 * s.subbands);
    std::fprintf(stderr, "bitpool = %d\n", bitpool);
    std::fprintf(stderr, "bps     = %f bit\n", bits_per_sample);
    std::fprintf(stderr, "bitrate = %6.2f kbps\n", s.bit_rate * 0.001);
}

// Frames are encoded one after another into a block of memory, which goes out with one fwrite
// when the next frame would not fit and whenever the run stops, so every frame encoded before a
// failure is still written whole. A frame per fwrite would cost a library call per 100-odd bytes.
constexpr size_t output_block_bytes = 65536;

struct OutputBlock {
    std::vector<uint8_t> bytes;
    int32_t used = 0;
};

// Writes the block's frames and empties it; false (after saying so) when they could not be written.
bool flush_block(Run& run, OutputBlock& block) {
    const auto count = static_cast<size_t>(block.used);
    block.used = 0;
    if (count == 0 || std::fwrite(block.bytes.data(), 1, count, run.output) == count) return true;
    std::fprintf(stderr, "\nError writing outputfile\n");
    return false;
}

// One frame of sample instants: where the input's samples already are 16-bit PCM in the host's
// byte order, a view of them in the input's own buffer; otherwise converted into `pcm`. Holds
// fewer than `instants` instants only at the end of the data.
std::span<const int16_t> read_frame(Run& run, std::span<int16_t> pcm, int64_t instants,
                                    int32_t channels, double scale, bool sixteen_bit) {
    const auto count = static_cast<size_t>(instants * channels);
    if (sixteen_bit) {
        if (run.viewed.empty())
            run.viewed = audiofile::audio_view_frames16(
                *run.input, frames_per_view * static_cast<size_t>(instants));
        const auto view = run.viewed.first(std::min(count, run.viewed.size()));
        run.viewed = run.viewed.subspan(view.size());
        if (view.size() == count) return view;
        // The buffer's run ended inside the frame (or the samples need their bytes swapped).
        std::copy(view.begin(), view.end(), pcm.begin());
        const auto rest = pcm.subspan(view.size(), count - view.size());
        const int got = audiofile::audio_read_frames16(rest, *run.input);
        if (got != -1)
            return pcm.first(view.size() +
                             static_cast<size_t>(std::max(got, 0)) * static_cast<size_t>(channels));
    }
    std::array<double, sbc::MAX_FRAME_SAMPLES * max_channels> values;
    const int got = audiofile::audio_read_frames(std::span(values).first(count), *run.input);
    if (got <= 0) return {};
    const size_t n = static_cast<size_t>(got) * static_cast<size_t>(channels);
    to_pcm16(std::span(values).first(n), scale, pcm);
    return pcm.first(n);
}

} // namespace

int run_encoding(const Settings& settings, std::FILE* output, const char* input_name) {
    audiofile::AudioInfo info{};
    auto input = audiofile::audio_open(input_name, "r", info);
    return encode_input(settings, output, std::move(input), info);
}

int encode_input(const Settings& settings, std::FILE* output,
                 std::unique_ptr<audiofile::AudioFile> input, audiofile::AudioInfo& info) {
    Run run;
    run.output = output;
    run.input = std::move(input);
    if (!run.input) {
        std::fprintf(stderr, "\nError opening inputfile\n");
        return fail(run);
    }
    if (sbc::encoder_frequency_index(info.sampling_frequency) < 0) {
        std::fprintf(stderr, "\nSampling frequency: %d not supported\n", info.sampling_frequency);
        return fail(run);
    }
    if (info.channels > max_channels) {
        std::fprintf(stderr, "\nnumber of channels: %d exceeds the maximum number: %d\n",
                     info.channels, max_channels);
        return fail(run);
    }
    const int32_t channels = info.channels;
    const int32_t channel_mode = channels == 1 ? sbc::MONO : settings.channel_mode;
    if (!frame_shape_is_usable(settings)) return fail(run);

    run.encoder =
        sbc::encoder_create(info.sampling_frequency, channels, settings.subbands, settings.blk_len);
    if (!run.encoder) {
        std::fprintf(stderr, "\nError creating SBC encoder\n");
        return fail(run);
    }
    const auto bitpool = derive_bitpool(settings, channel_mode, channels, info.sampling_frequency);
    const int32_t max_bitpool = sbc::encoder_max_bitpool(channel_mode, settings.subbands);
    if (!bitpool) {
        std::fprintf(stderr, "\nbit rate: %d bps is out of range\n", settings.bit_rate);
        print_workable_rates(settings, channel_mode, channels, info.sampling_frequency,
                             max_bitpool);
        return fail(run);
    }
    if (*bitpool < 0 || *bitpool > max_bitpool) {
        std::fprintf(stderr,
                     "\nbitpool: %d (from a bit rate of %d bps) is outside the valid range 0 to "
                     "%d\n",
                     *bitpool, settings.bit_rate, max_bitpool);
        print_workable_rates(settings, channel_mode, channels, info.sampling_frequency,
                             max_bitpool);
        return fail(run);
    }
    const int configured =
        sbc::encoder_configure(*run.encoder, channel_mode, *bitpool, settings.allocation_method);
    if (configured == sbc::CONFIGURE_BAD_FORMAT) return fail(run); // the encoder said why
    if (configured != sbc::CONFIGURE_OK) {
        std::fprintf(stderr, "\nError getting SBC decoder information\n");
        return fail(run);
    }
    if (settings.verbose) print_figures(settings, channel_mode, *bitpool);

    const int64_t instants_per_frame = int64_t{settings.subbands} * settings.blk_len;
    const bool count_known = info.num_samples_known;
    const int64_t frames = count_known ? info.num_samples / instants_per_frame : -1;
    if (const auto done =
            encode_in_parallel({settings.threads, *run.input, *run.encoder, run.output, frames}))
        return *done && shut_down(run) ? 0 : fail(run);
    const double scale = sixteen_bit_scale(info.sample_type);
    const bool sixteen_bit = !audiofile::sample_is_float(info.sample_type) &&
                             audiofile::sample_bits(info.sample_type) == 16;
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * max_channels> pcm{};
    const auto frame_length = static_cast<size_t>(stream_frame_bytes(*run.encoder));
    OutputBlock block;
    block.bytes.resize(std::max(output_block_bytes, frame_length));

    int64_t instants_read = 0;
    for (int64_t f = 0; !count_known || f < frames; ++f) {
        const auto samples = read_frame(run, pcm, instants_per_frame, channels, scale, sixteen_bit);
        const auto got = static_cast<int64_t>(samples.size()) / channels;
        instants_read += got;
        if (got < instants_per_frame) {
            if (!flush_block(run, block)) return fail(run);
            if (const int error = audiofile::audio_read_error(*run.input); error != 0) {
                std::fprintf(stderr, "\nError reading inputfile: %s\n", std::strerror(error));
                return fail(run);
            }
            if (count_known) {
                std::fprintf(stderr,
                             "\nThe input data ended early: %lld of %d sample frames read; the "
                             "stream ends with the last whole frame\n",
                             static_cast<long long>(instants_read), info.num_samples);
            }
            break;
        }
        if (block.bytes.size() - static_cast<size_t>(block.used) < frame_length &&
            !flush_block(run, block))
            return fail(run);
        if (!append_frame(*run.encoder, samples, f, block.bytes, block.used)) {
            flush_block(run, block);
            std::fprintf(stderr, "\nError encoding frame %lld\n", static_cast<long long>(f));
            return fail(run);
        }
    }
    if (!flush_block(run, block)) return fail(run);
    return shut_down(run) ? 0 : 1;
}

} // namespace cli
