// The encoding run: one pass from an audio file to a stream of SBC frames.
//
//   audio_open ─► checks ─► encoder_create ─► bitpool from the bit rate ─► encoder_configure
//        │                                                                        │
//        └──► per frame: subbands × blk_len sample instants ─► 16-bit PCM ─► encode ─┐
//                                                         output block (about 64 KiB) ◄─┘ ─► write
//
// The bitpool comes from the bit rate (sbc/rate.h, refused where it would overflow); a rate whose
// bitpool a frame cannot carry is refused with the interval of rates that works.
//
// With -m the encoder is an mSBC encoder instead (every parameter fixed, so no bitpool to
// derive) and only a 16000 Hz mono input is taken; with -H each frame goes out in its H2 unit.
//
// Samples reach the encoder on the 16-bit scale and saturate instead of wrapping. Only whole
// frames of real data are encoded: when the data ends early, the stream ends with the last whole
// frame, and the run says how much of the promised data it found.
//
// Live input (a pipe, FIFO, socket or terminal) is read as it arrives: each frame is encoded as
// soon as its last sample is in, and before the run waits for more input, the frames encoded so
// far leave, when the output is not a regular file (a regular file keeps them until its block is
// full). SIGINT and SIGTERM stop the run between frames: the whole frames encoded so far are
// written, the files closed, and the program ends by the signal.
#include "audiofile/audiofile.h"
#include "cli/common/names.h"
#include "cli/common/stop.h"
#include "cli/encode/frame_io.h"
#include "cli/encode/parallel_run.h"
#include "cli/encode/settings.h"
#include "sbc/rate.h"
#include "sbc/sbc.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

constexpr int max_channels = 2;

// The frame shape the bitpool is derived for.
sbc::RateShape rate_shape(const Settings& s, int32_t channel_mode, int32_t channels,
                          int32_t frequency) {
    return {frequency, channels, channel_mode, s.subbands, s.blk_len};
}

// Names the bit rates whose bitpool lies in 0..max_bitpool for this input and these options
// (searched with the derivation itself, so every rate named gives a bitpool in range).
void print_workable_rates(const Settings& s, int32_t channel_mode, int32_t channels,
                          int32_t frequency, int32_t max_bitpool) {
    const auto range =
        sbc::rates_for_bitpools(rate_shape(s, channel_mode, channels, frequency), max_bitpool);
    if (!range) return;
    std::fprintf(stderr,
                 "bit rates from %lld to %lld bps give a valid bitpool at %d Hz in %s with %d "
                 "subbands and %d blocks\n",
                 static_cast<long long>(range->lowest), static_cast<long long>(range->highest),
                 frequency, channel_mode_name(channel_mode, "an unknown channel mode"), s.subbands,
                 s.blk_len);
}

// Frames are encoded one after another into a block of memory, which goes out with one write
// when the next frame would not fit, before the run waits for live input (when the output is not
// a regular file) and whenever the run stops, so every frame encoded before a failure or a stop
// signal is still written whole. A write per frame would cost a system call per 100-odd bytes.
constexpr size_t output_block_bytes = 65536;

struct OutputBlock {
    std::vector<uint8_t> bytes;
    int32_t used = 0;
};

// Everything the run holds, released in the order the shutdown gives.
struct Run {
    std::unique_ptr<audiofile::AudioFile> input;
    std::unique_ptr<sbc::EncoderState> encoder;
    std::FILE* output = nullptr;
    bool live_output = false;        // not a regular file: frames leave before input is awaited
    OutputBlock block;               // encoded frames not yet written
    bool write_failed = false;       // a write of the block failed (and said so)
    std::span<const int16_t> viewed; // samples seen in place in the input, not yet encoded
};

// True for an output that is not a regular file (a pipe, FIFO, socket, terminal or device).
bool is_live_output(std::FILE* output) {
    struct stat status {};
    const int fd = fileno(output);
    return fd >= 0 && fstat(fd, &status) == 0 && !S_ISREG(status.st_mode);
}

// Writes the block's frames and empties it; false (after saying so) when they could not be
// written. A reader that went away ends the program here by SIGPIPE, unless SIGPIPE is ignored:
// then this is the one message, and the run ends with status 1.
bool flush_block(Run& run) {
    const auto count = static_cast<size_t>(run.block.used);
    run.block.used = 0;
    if (count == 0 || write_all(run.output, std::span(run.block.bytes).first(count))) return true;
    std::fprintf(stderr, "\nError writing outputfile\n");
    return false;
}

// Before a read that could wait for live input (the input's buffer holds nothing more): the
// frames encoded so far leave first, when the output is not a regular file, and the run waits
// until the input has bytes or a stop signal came. False when the run cannot go on: it is to
// stop, or the frames could not be written (then `write_failed` is set).
bool await_input(Run& run) {
    if (stop_requested() || run.write_failed) return false;
    if (!run.input->live || !run.viewed.empty() || audiofile::audio_frames_buffered(*run.input) > 0)
        return true;
    if (run.live_output && !flush_block(run)) {
        run.write_failed = true;
        return false;
    }
    return wait_readable(fileno(run.input->stream.get()));
}

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

// Reads up to pcm.size() values (whole instants) of 16-bit PCM into `pcm`: the values read; 0 at
// the end of the data, on a read failure, or when a live read was interrupted.
size_t read_pcm(audiofile::AudioFile& input, std::span<int16_t> pcm, int32_t channels, double scale,
                bool sixteen_bit) {
    const auto per_instant = static_cast<size_t>(channels);
    if (sixteen_bit)
        return static_cast<size_t>(std::max(audiofile::audio_read_frames16(pcm, input), 0)) *
               per_instant;
    std::array<double, sbc::MAX_FRAME_SAMPLES * max_channels> values;
    const int got = audiofile::audio_read_frames(std::span(values).first(pcm.size()), input);
    const size_t n = static_cast<size_t>(std::max(got, 0)) * per_instant;
    sbc::to_pcm16(std::span(values).first(n), scale, pcm);
    return n;
}

// One frame of sample instants: where the input's samples already are 16-bit PCM in the host's
// byte order, a view of them in the input's own buffer; otherwise gathered in `pcm`. A live input
// may deliver a frame in several pieces, and a read interrupted by a signal is taken up again
// unless the run is to stop. Holds fewer than `instants` instants only at the end of the data,
// after a read failure, or when the run is to stop.
std::span<const int16_t> read_frame(Run& run, std::span<int16_t> pcm, int64_t instants,
                                    int32_t channels, double scale, bool sixteen_bit) {
    const auto count = static_cast<size_t>(instants * channels);
    size_t have = 0;
    if (sixteen_bit) {
        if (run.viewed.empty() && await_input(run))
            run.viewed = audiofile::audio_view_frames16(
                *run.input, frames_per_view * static_cast<size_t>(instants));
        const auto view = run.viewed.first(std::min(count, run.viewed.size()));
        run.viewed = run.viewed.subspan(view.size());
        if (view.size() == count) return view;
        // The buffer's run ended inside the frame (or the samples need their bytes swapped).
        std::copy(view.begin(), view.end(), pcm.begin());
        have = view.size();
    }
    while (have < count && await_input(run)) {
        const size_t got =
            read_pcm(*run.input, pcm.subspan(have, count - have), channels, scale, sixteen_bit);
        have += got;
        const bool interrupted =
            run.input->live && audiofile::audio_read_error(*run.input) == EINTR;
        if (got == 0 && !interrupted) break;
    }
    return pcm.first(have);
}

// The encoder for SBC: the input's frequency and channels checked, the bitpool from the bit
// rate, the verbose figures. False after saying why not.
bool configure_sbc(Run& run, const Settings& settings, const audiofile::AudioInfo& info) {
    if (sbc::encoder_frequency_index(info.sampling_frequency) < 0) {
        std::fprintf(stderr, "\nSampling frequency: %d not supported\n", info.sampling_frequency);
        return false;
    }
    if (info.channels > max_channels) {
        std::fprintf(stderr, "\nnumber of channels: %d exceeds the maximum number: %d\n",
                     info.channels, max_channels);
        return false;
    }
    const int32_t channels = info.channels;
    const int32_t channel_mode = channels == 1 ? sbc::MONO : settings.channel_mode;
    if (!frame_shape_is_usable(settings)) return false;

    run.encoder =
        sbc::encoder_create(info.sampling_frequency, channels, settings.subbands, settings.blk_len);
    if (!run.encoder) {
        std::fprintf(stderr, "\nError creating SBC encoder\n");
        return false;
    }
    const auto bitpool = sbc::bitpool_for_rate(
        rate_shape(settings, channel_mode, channels, info.sampling_frequency), settings.bit_rate);
    const int32_t max_bitpool = sbc::encoder_max_bitpool(channel_mode, settings.subbands);
    if (!bitpool) {
        std::fprintf(stderr, "\nbit rate: %d bps is out of range\n", settings.bit_rate);
        print_workable_rates(settings, channel_mode, channels, info.sampling_frequency,
                             max_bitpool);
        return false;
    }
    if (*bitpool < 0 || *bitpool > max_bitpool) {
        std::fprintf(stderr,
                     "\nbitpool: %d (from a bit rate of %d bps) is outside the valid range 0 to "
                     "%d\n",
                     *bitpool, settings.bit_rate, max_bitpool);
        print_workable_rates(settings, channel_mode, channels, info.sampling_frequency,
                             max_bitpool);
        return false;
    }
    const int configured =
        sbc::encoder_configure(*run.encoder, channel_mode, *bitpool, settings.allocation_method);
    if (configured == sbc::CONFIGURE_BAD_FORMAT) return false; // the encoder said why
    if (configured != sbc::CONFIGURE_OK) {
        std::fprintf(stderr, "\nError getting SBC decoder information\n");
        return false;
    }
    if (settings.verbose) print_figures(settings, channel_mode, *bitpool);
    return true;
}

// The encoder for mSBC, whose parameters are all fixed: only a 16000 Hz mono input will do.
bool configure_msbc(Run& run, const Settings& settings, const audiofile::AudioInfo& info) {
    if (info.sampling_frequency != sbc::MSBC_SAMPLING_FREQUENCY || info.channels != 1) {
        std::fprintf(stderr,
                     "\nmSBC needs a mono input at %d Hz; the inputfile has %d Hz and %d "
                     "channel%s\nconvert it first, for example: sox in.wav -r %d -c 1 out.wav\n",
                     sbc::MSBC_SAMPLING_FREQUENCY, info.sampling_frequency, info.channels,
                     info.channels == 1 ? "" : "s", sbc::MSBC_SAMPLING_FREQUENCY);
        return false;
    }
    run.encoder =
        sbc::encoder_create(sbc::MSBC_SAMPLING_FREQUENCY, 1, sbc::MSBC_SUBBANDS, sbc::MSBC_BLOCKS);
    if (!run.encoder || sbc::encoder_configure_msbc(*run.encoder) != sbc::CONFIGURE_OK) {
        std::fprintf(stderr, "\nError creating SBC encoder\n");
        return false;
    }
    if (settings.verbose) {
        // 57 bytes (60 in an H2 unit) every 120 instants at 16000 Hz: 60.8 (64) kbit/s.
        const int32_t unit = settings.h2 ? sbc::H2_UNIT_LENGTH : sbc::MSBC_FRAME_LENGTH;
        const double kbps =
            unit * 8.0 * sbc::MSBC_SAMPLING_FREQUENCY / sbc::MSBC_FRAME_SAMPLES * 0.001;
        std::fprintf(stderr, "mSBC    = %d Hz, MONO, %d subbands, %d blocks, LOUDNESS\n",
                     sbc::MSBC_SAMPLING_FREQUENCY, sbc::MSBC_SUBBANDS, sbc::MSBC_BLOCKS);
        std::fprintf(stderr, "bitpool = %d\n", sbc::MSBC_BITPOOL);
        std::fprintf(stderr, "frame   = %d bytes%s\n", unit, settings.h2 ? " (H2 unit)" : "");
        std::fprintf(stderr, "bitrate = %6.2f kbps\n", kbps);
    }
    return true;
}

} // namespace

int run_encoding(const Settings& settings, std::FILE* output, const char* input_name) {
    audiofile::AudioInfo info{};
    auto input = audiofile::audio_open(input_name, "r", info);
    // From here on SIGINT and SIGTERM stop the run cleanly; before, they end it at once (nothing
    // has been written yet).
    stop_on_signals();
    const int status = encode_input(settings, output, std::move(input), info);
    end_by_stop_signal();
    return status;
}

int encode_input(const Settings& settings, std::FILE* output,
                 std::unique_ptr<audiofile::AudioFile> input, audiofile::AudioInfo& info) {
    Run run;
    run.output = output;
    run.input = std::move(input);
    run.live_output = output != nullptr && is_live_output(output);
    if (!run.input) {
        std::fprintf(stderr, "\nError opening inputfile\n");
        return fail(run);
    }
    const bool configured =
        settings.msbc ? configure_msbc(run, settings, info) : configure_sbc(run, settings, info);
    if (!configured) return fail(run);
    const int32_t channels = info.channels;

    const int64_t instants_per_frame = run.encoder->samples_per_channel;
    const bool count_known = info.num_samples_known;
    const int64_t frames = count_known ? info.num_samples / instants_per_frame : -1;
    if (const auto done = encode_in_parallel(
            {settings.threads, *run.input, *run.encoder, run.output, frames, settings.h2}))
        return *done && shut_down(run) ? 0 : fail(run);
    const double scale = sixteen_bit_scale(info.sample_type);
    const bool sixteen_bit = !audiofile::sample_is_float(info.sample_type) &&
                             audiofile::sample_bits(info.sample_type) == 16;
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * max_channels> pcm{};
    const auto frame_length = static_cast<size_t>(stream_frame_bytes(*run.encoder, settings.h2));
    OutputBlock& block = run.block;
    block.bytes.resize(std::max(output_block_bytes, frame_length));

    int64_t instants_read = 0;
    for (int64_t f = 0; (!count_known || f < frames) && !stop_requested(); ++f) {
        const auto samples = read_frame(run, pcm, instants_per_frame, channels, scale, sixteen_bit);
        const auto got = static_cast<int64_t>(samples.size()) / channels;
        instants_read += got;
        if (got < instants_per_frame) {
            if (run.write_failed) return fail(run);
            if (stop_requested()) break;
            if (!flush_block(run)) return fail(run);
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
            !flush_block(run))
            return fail(run);
        if (!append_frame(*run.encoder, samples, f, settings.h2, block.bytes, block.used)) {
            flush_block(run);
            std::fprintf(stderr, "\nError encoding frame %lld\n", static_cast<long long>(f));
            return fail(run);
        }
    }
    if (!flush_block(run)) return fail(run);
    return shut_down(run) ? 0 : 1;
}

} // namespace cli
