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
// derive); with -H each frame goes out in its H2 unit.
//
// Conversion (-F, and -m for inputs that are not 16000 Hz mono) stands between reading and the
// 16-bit PCM, in a single pass whatever -T says; the stage itself is convert/conversion.h, which
// the C interface runs too:
//
//   chunks of the input ─► stage: × scale, (L + R) ÷ 2 for -m on stereo, resampler ─► truncate
//                                  its tail drained at the end                         and limit
//
// Inputs of 3 to 8 channels always go through the stage: they are mixed down to stereo by the
// matrix of their speaker layout (convert/downmix.h), and on to mono with -m; an input whose
// layout is not known gives its first two channels. More than 8 channels are refused.
//
// The input is read up to the sample count of its header, as without conversion; that count,
// resampled, gives the frames the stream is to have. Without -F, and with -F at the input's own
// rate, nothing is converted and the bytes are those of the plain run.
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
#include "convert/conversion.h"
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
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

// Channels the encoder takes, and channels an input may have (more than 2 are mixed down).
constexpr int max_channels = 2;
constexpr int max_input_channels = convert::MAX_DOWNMIX_CHANNELS;

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

// What is encoded: the input's own rate and channels, or those it is converted to.
struct Target {
    int32_t frequency = 0;
    int32_t channels = 0;
};

// The way from the input's values to the encoder's, when they are converted: chunks of the
// input go through the conversion stage (scale, mix, resampler) into `ready`, from which the
// frames take their values.
//
//   chunk  [ taken │ not yet given to the stage ]            chunk_at .. chunk_end
//   ready  [ encoded │ waiting for a frame │ room ]          ready_at .. ready_end
struct Conversion {
    std::unique_ptr<convert::Conversion> stage;
    std::vector<double> chunk;
    size_t chunk_at = 0, chunk_end = 0;
    std::vector<double> ready;
    size_t ready_at = 0, ready_end = 0;
    int32_t channels = 0;         // of the input
    int64_t instants_read = 0;    // of the input
    int64_t instants_wanted = -1; // the input's count from its header; -1 unknown
    bool input_ended = false;     // the input ended, or its header's count is read
    bool drained = false;         // the resampler's tail is in `ready`
    bool failed = false;          // the resampler refused to go on (said so)
};

constexpr size_t chunk_instants = 4096;
constexpr size_t ready_values = 16384;

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

// What to do with a rate SBC lacks: resample it to the SBC rate closest above it (the highest, for
// rates above them all), or, for mono voice below 16000 Hz, make mSBC of it.
void print_rate_hint(const audiofile::AudioInfo& info) {
    const auto rates = sbc::SAMPLING_FREQUENCIES;
    const auto above = std::upper_bound(rates.begin(), rates.end(), info.sampling_frequency);
    const int32_t to = above == rates.end() ? rates.back() : *above;
    if (info.channels == 1 && info.sampling_frequency < sbc::MSBC_SAMPLING_FREQUENCY) {
        std::fprintf(stderr, "resample it with -F %d, or make mSBC voice frames of it with -m\n",
                     to);
    } else {
        std::fprintf(stderr, "resample it with -F %d\n", to);
    }
}

// The frequency and channels to encode: mSBC's 16000 Hz mono with -m, the -F frequency, or the
// input's own. False, after saying why, for an input that cannot be encoded.
bool choose_target(const Settings& settings, const audiofile::AudioInfo& info, Target& target) {
    if (!settings.msbc && settings.frequency == 0 &&
        sbc::encoder_frequency_index(info.sampling_frequency) < 0) {
        std::fprintf(stderr, "\nSampling frequency: %d not supported\n", info.sampling_frequency);
        print_rate_hint(info);
        return false;
    }
    if (info.channels > max_input_channels) {
        std::fprintf(stderr, "\nnumber of channels: %d exceeds the maximum number: %d\n",
                     info.channels, max_input_channels);
        return false;
    }
    target.frequency = settings.msbc             ? sbc::MSBC_SAMPLING_FREQUENCY
                       : settings.frequency != 0 ? settings.frequency
                                                 : info.sampling_frequency;
    target.channels = settings.msbc ? 1 : std::min(info.channels, max_channels);
    return true;
}

// "mono", "stereo" or "6 channels".
std::string channels_name(int32_t channels) {
    return channels == 1   ? "mono"
           : channels == 2 ? "stereo"
                           : std::to_string(channels) + " channels";
}

// -v: how the channels of an input of more than two were mixed down.
void print_downmix(const convert::Downmix& d, int32_t to_channels) {
    const std::string to = channels_name(to_channels);
    if (!d.known) {
        std::fprintf(stderr, "downmixed: %d channels (layout unknown) -> %s: the first two taken\n",
                     d.channels, to.c_str());
        return;
    }
    const char* name = convert::layout_name(d.mask);
    std::array<char, 32> mask{};
    std::snprintf(mask.data(), mask.size(), "channel mask 0x%X", d.mask);
    const char* layout = name ? name : mask.data();
    std::fprintf(stderr, "downmixed: %d channels (%s) -> %s\n", d.channels, layout, to.c_str());
}

// The conversion from the input to `target`, or null when there is none to make. Sets `failed`
// after saying why it cannot be made.
std::unique_ptr<Conversion> plan_conversion(const Settings& settings,
                                            const audiofile::AudioInfo& info, const Target& target,
                                            bool& failed) {
    failed = false;
    const convert::ConversionSetup setup{info.sampling_frequency,
                                         target.frequency,
                                         info.channels,
                                         target.channels,
                                         sixteen_bit_scale(info.sample_type),
                                         thread_count(settings.threads),
                                         info.channel_mask};
    if (convert::conversion_is_identity(setup)) return nullptr;
    auto c = std::make_unique<Conversion>();
    c->channels = info.channels;
    const char* error = nullptr;
    c->stage = convert::conversion_create(setup, error);
    if (!c->stage) {
        std::fprintf(stderr, "\nError resampling from %d Hz to %d Hz: %s\n",
                     info.sampling_frequency, target.frequency, error);
        failed = true;
        return nullptr;
    }
    c->chunk.resize(chunk_instants * static_cast<size_t>(info.channels));
    c->ready.resize(ready_values);
    if (info.num_samples_known) c->instants_wanted = info.num_samples;
    if (settings.verbose) {
        std::fprintf(stderr, "converted: %d Hz %s -> %d Hz %s\n", info.sampling_frequency,
                     channels_name(info.channels).c_str(), target.frequency,
                     channels_name(target.channels).c_str());
        if (c->stage->channel_step == convert::ChannelStep::downmix)
            print_downmix(c->stage->downmix, target.channels);
    }
    return c;
}

// Reads the next chunk of the input into `chunk`, as stored. Marks the end of the input where it
// ends, fails, or reaches its header's count; an interrupted live read leaves the chunk empty and
// is simply tried again.
void read_chunk(Run& run, Conversion& c) {
    const auto channels = static_cast<size_t>(c.channels);
    size_t wanted = chunk_instants;
    if (c.instants_wanted >= 0)
        wanted = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(wanted), c.instants_wanted - c.instants_read));
    c.chunk_at = c.chunk_end = 0;
    if (wanted == 0) {
        c.input_ended = true;
        return;
    }
    const int got =
        audiofile::audio_read_frames(std::span(c.chunk).first(wanted * channels), *run.input);
    if (got <= 0) {
        const bool interrupted =
            run.input->live && audiofile::audio_read_error(*run.input) == EINTR;
        if (!interrupted) c.input_ended = true;
        return;
    }
    c.instants_read += got;
    c.chunk_end = static_cast<size_t>(got) * channels;
}

// Moves the values still waiting for a frame to the front of `ready` (fewer than one frame's).
void make_room(Conversion& c) {
    if (c.ready_at == 0) return;
    std::copy(c.ready.begin() + static_cast<std::ptrdiff_t>(c.ready_at),
              c.ready.begin() + static_cast<std::ptrdiff_t>(c.ready_end), c.ready.begin());
    c.ready_end -= c.ready_at;
    c.ready_at = 0;
}

// One step of bringing converted values into `ready`: gives the chunk (or what is left of it)
// to the stage, reads the next chunk, or drains the stage once the input has ended. False when
// nothing more will come: everything is out, the run is to stop, a read or the resampler failed.
bool convert_more(Run& run, Conversion& c) {
    make_room(c);
    const auto room = std::span(c.ready).subspan(c.ready_end);
    const auto given = std::span(c.chunk).subspan(c.chunk_at, c.chunk_end - c.chunk_at);
    if (!given.empty() || convert::conversion_holds(*c.stage)) {
        const auto step = convert::conversion_process(*c.stage, given, room);
        if (c.stage->failed) {
            std::fprintf(stderr, "\nError resampling the inputfile\n");
            c.failed = true;
            return false;
        }
        c.chunk_at += step.taken;
        c.ready_end += step.made;
        return true;
    }
    if (!c.input_ended) {
        if (!await_input(run)) return false;
        read_chunk(run, c); // an interrupted read is tried again after await_input
        return true;
    }
    if (audiofile::audio_read_error(*run.input) != 0 || c.drained) return false;
    const size_t made = convert::conversion_drain(*c.stage, room);
    c.drained = made == 0;
    c.ready_end += made;
    return made > 0;
}

// One frame of converted instants in `pcm`: fewer only at the end of the converted stream,
// after a failure, or when the run is to stop.
std::span<const int16_t> read_converted_frame(Run& run, Conversion& c, std::span<int16_t> pcm,
                                              size_t count) {
    while (c.ready_end - c.ready_at < count && convert_more(run, c)) {
    }
    const size_t have = std::min(count, c.ready_end - c.ready_at);
    sbc::to_pcm16(std::span(c.ready).subspan(c.ready_at, have), 1.0, pcm);
    c.ready_at += have;
    return pcm.first(have);
}

// The encoder for SBC at the target's frequency and channels: the bitpool from the bit rate,
// the verbose figures. False after saying why not.
bool configure_sbc(Run& run, const Settings& settings, const Target& target) {
    const int32_t channels = target.channels;
    const int32_t frequency = target.frequency;
    const int32_t channel_mode = channels == 1 ? sbc::MONO : settings.channel_mode;
    if (!frame_shape_is_usable(settings)) return false;

    run.encoder = sbc::encoder_create(frequency, channels, settings.subbands, settings.blk_len);
    if (!run.encoder) {
        std::fprintf(stderr, "\nError creating SBC encoder\n");
        return false;
    }
    const auto shape = rate_shape(settings, channel_mode, channels, frequency);
    const int32_t max_bitpool = sbc::encoder_max_bitpool(channel_mode, settings.subbands);
    auto bitpool = sbc::bitpool_for_rate(shape, settings.bit_rate);
    // Without -r, a frame that cannot carry the default rate's bitpool takes the highest it can.
    const auto fallback = settings.bit_rate_given || settings.bit_rate != sbc::DEFAULT_BIT_RATE
                              ? std::nullopt
                              : sbc::default_bitpool(shape, max_bitpool);
    if (fallback) bitpool = fallback->bitpool;
    if (!bitpool) {
        std::fprintf(stderr, "\nbit rate: %d bps is out of range\n", settings.bit_rate);
        print_workable_rates(settings, channel_mode, channels, frequency, max_bitpool);
        return false;
    }
    if (*bitpool < 0 || *bitpool > max_bitpool) {
        std::fprintf(stderr,
                     "\nbitpool: %d (from a bit rate of %d bps) is outside the valid range 0 to "
                     "%d\n",
                     *bitpool, settings.bit_rate, max_bitpool);
        print_workable_rates(settings, channel_mode, channels, frequency, max_bitpool);
        return false;
    }
    if (settings.verbose && fallback && fallback->lowered)
        std::fprintf(stderr,
                     "the default bit rate of %d bps gives bitpool %d, more than this frame can "
                     "carry: bitpool %d, the highest it allows, is used\n",
                     settings.bit_rate, fallback->derived, fallback->bitpool);
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

// The encoder for mSBC, whose parameters are all fixed (its input converted to 16000 Hz mono).
bool configure_msbc(Run& run, const Settings& settings) {
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
    Target target;
    if (!choose_target(settings, info, target)) return fail(run);
    bool unconvertible = false;
    const auto conversion = plan_conversion(settings, info, target, unconvertible);
    if (unconvertible) return fail(run);
    const bool configured =
        settings.msbc ? configure_msbc(run, settings) : configure_sbc(run, settings, target);
    if (!configured) return fail(run);
    const int32_t channels = target.channels;

    const int64_t instants_per_frame = run.encoder->samples_per_channel;
    const bool count_known = info.num_samples_known;
    const int64_t instants_known =
        conversion && conversion->stage->resampler
            ? convert::resampled_length(info.num_samples, info.sampling_frequency, target.frequency)
            : info.num_samples;
    const int64_t frames = count_known ? instants_known / instants_per_frame : -1;
    if (!conversion) {
        if (const auto done = encode_in_parallel(
                {settings.threads, *run.input, *run.encoder, run.output, frames, settings.h2}))
            return *done && shut_down(run) ? 0 : fail(run);
    }
    const double scale = sixteen_bit_scale(info.sample_type);
    const bool sixteen_bit = !audiofile::sample_is_float(info.sample_type) &&
                             audiofile::sample_bits(info.sample_type) == 16;
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * max_channels> pcm{};
    const auto frame_length = static_cast<size_t>(stream_frame_bytes(*run.encoder, settings.h2));
    OutputBlock& block = run.block;
    block.bytes.resize(std::max(output_block_bytes, frame_length));

    int64_t instants_read = 0;
    for (int64_t f = 0; (!count_known || f < frames) && !stop_requested(); ++f) {
        const auto samples =
            conversion ? read_converted_frame(run, *conversion, pcm,
                                              static_cast<size_t>(instants_per_frame * channels))
                       : read_frame(run, pcm, instants_per_frame, channels, scale, sixteen_bit);
        const auto got = static_cast<int64_t>(samples.size()) / channels;
        instants_read += got;
        if (got < instants_per_frame) {
            if (run.write_failed) return fail(run);
            if (stop_requested()) break;
            if (!flush_block(run)) return fail(run);
            if (conversion && conversion->failed) return fail(run);
            if (const int error = audiofile::audio_read_error(*run.input); error != 0) {
                std::fprintf(stderr, "\nError reading inputfile: %s\n", std::strerror(error));
                return fail(run);
            }
            // Converted, the count is the input's own, read against its header.
            const int64_t read = conversion ? conversion->instants_read : instants_read;
            if (count_known && read < info.num_samples) {
                std::fprintf(stderr,
                             "\nThe input data ended early: %lld of %d sample frames read; the "
                             "stream ends with the last whole frame\n",
                             static_cast<long long>(read), info.num_samples);
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
