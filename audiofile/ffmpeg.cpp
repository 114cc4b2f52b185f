// The FFmpeg reader, built as the module vantrel_ffmpeg.so (see ffmpeg.h for why a module): what
// neither the five readers nor libsndfile decode is demuxed by libavformat and decoded by
// libavcodec, reading the file through the library's callbacks (FfmpegInput), never by name.
//
//   open:    AVIOContext over FfmpegInput ─► probe the container ─► stream info ─► the best
//            audio stream ─► its decoder ─► FfmpegStream (channels, rate, sample kind, count)
//   decode:  packets of that stream ─► decoder ─► frames, planar or packed ─► interleaved frames
//            of the sample kind, as many as asked, the rest of a decoded frame kept for the next
//            call
//
// Sample kinds: integer codecs (ALAC, WavPack, TTA, APE, PCM) give their integers unchanged,
// 16-bit ones as 16-bit, wider ones as 32-bit words (FFmpeg puts 20- and 24-bit samples at the
// top of the word, as libsndfile does); 8-bit unsigned ones are centred and put at the top of
// 16 bits. Float codecs (AAC and every lossy one) give their floats or doubles.
//
// The count of frames is told only where the container declares it for a lossless codec (the
// track's duration); lossy codecs carry decoder delay and padding that the declared duration may
// or may not include, so their count is left unknown and the reads run to the end.
//
// A failure of the input (the callback's -1) or damaged data ends the decoding with what was
// decoded before it; data that simply runs out (a file cut short) ends it without a failure.
// FFmpeg's own log is silenced: every refusal is said once, by the library, from `text`.
// No exception leaves this file.
#include "audiofile/ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace {

constexpr int io_buffer_bytes = 64 * 1024;
constexpr int decoder_threads = 2;
// Speaker bits that FFmpeg's native layouts share with the WAVE channel mask (front left up to
// top back right).
constexpr std::uint64_t wave_speaker_bits = 0x3FFFF;

struct Names {
    const char* demuxer; // the first name of FFmpeg's demuxer
    const char* format;  // what the messages call it
};
constexpr std::array<Names, 9> format_names = {{
    {"mov", "M4A"},
    {"wv", "WavPack"},
    {"tta", "TTA"},
    {"ape", "APE"},
    {"caf", "CAF"},
    {"aac", "AAC"},
    {"matroska", "Matroska"},
    {"asf", "WMA"},
    {"ogg", "Ogg"},
}};

// Containers that the library's own readers know: what they refuse of these stays refused.
constexpr std::array<const char*, 3> own_containers = {"wav", "aiff", "au"};

void say(char* text, const char* what, int error = 0) {
    if (error == 0) {
        std::snprintf(text, FFMPEG_TEXT_BYTES, "%s", what);
        return;
    }
    std::array<char, AV_ERROR_MAX_STRING_SIZE> reason{};
    av_strerror(error, reason.data(), reason.size());
    std::snprintf(text, FFMPEG_TEXT_BYTES, "%s: %s", what, reason.data());
}

// ---- The input, as FFmpeg reads it ----------------------------------------------------------

int read_input(void* opaque, std::uint8_t* to, int size) {
    const auto& input = *static_cast<const FfmpegInput*>(opaque);
    const int got = input.read(input.opaque, to, size);
    if (got < 0) return AVERROR(EIO);
    return got == 0 ? AVERROR_EOF : got;
}

std::int64_t seek_input(void* opaque, std::int64_t offset, int whence) {
    const auto& input = *static_cast<const FfmpegInput*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return input.seek(input.opaque, 0, FFMPEG_SEEK_SIZE);
    return input.seek(input.opaque, offset, whence);
}

struct IoCloser {
    void operator()(AVIOContext* io) const {
        if (io == nullptr) return;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatCloser {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecCloser {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct PacketCloser {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameCloser {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// ---- Samples --------------------------------------------------------------------------------

std::int32_t kind_of(AVSampleFormat format) {
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_S16:
        return FFMPEG_PCM16;
    case AV_SAMPLE_FMT_S32:
        return FFMPEG_PCM32;
    case AV_SAMPLE_FMT_FLT:
        return FFMPEG_FLOAT32;
    case AV_SAMPLE_FMT_DBL:
        return FFMPEG_FLOAT64;
    default:
        return -1;
    }
}

std::size_t kind_bytes(std::int32_t kind) {
    return kind == FFMPEG_PCM16 ? 2 : kind == FFMPEG_FLOAT64 ? 8 : 4;
}

// Copies frames [from, from + count) of a decoded frame of samples `Sample` into `out`
// (interleaved), whether the frame is planar or packed.
template <typename Sample>
void interleave_as(const AVFrame& frame, bool planar, std::size_t n, std::size_t from,
                   std::size_t count, std::byte* out) {
    constexpr std::size_t bytes = sizeof(Sample);
    if (!planar) {
        std::memcpy(out, frame.extended_data[0] + from * n * bytes, count * n * bytes);
        return;
    }
    for (std::size_t c = 0; c < n; ++c) {
        const std::uint8_t* in = frame.extended_data[c] + from * bytes;
        std::byte* to = out + c * bytes;
        for (std::size_t f = 0; f < count; ++f) {
            Sample v;
            std::memcpy(&v, in + f * bytes, bytes);
            std::memcpy(to + f * n * bytes, &v, bytes);
        }
    }
}

// The same for 8-bit unsigned samples, centred and put at the top of 16 bits.
void interleave_unsigned8(const AVFrame& frame, bool planar, std::size_t n, std::size_t from,
                          std::size_t count, std::byte* out) {
    for (std::size_t f = 0; f < count; ++f) {
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t at = from + f;
            const std::uint8_t in =
                planar ? frame.extended_data[c][at] : frame.extended_data[0][at * n + c];
            const auto value = static_cast<std::int16_t>((in - 128) * 256);
            std::memcpy(out + (f * n + c) * sizeof value, &value, sizeof value);
        }
    }
}

void interleave(const AVFrame& frame, int channels, std::size_t from, std::size_t count,
                std::byte* out) {
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const auto n = static_cast<std::size_t>(channels);
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        return interleave_unsigned8(frame, planar, n, from, count, out);
    case AV_SAMPLE_FMT_S16:
        return interleave_as<std::int16_t>(frame, planar, n, from, count, out);
    case AV_SAMPLE_FMT_DBL:
        return interleave_as<std::int64_t>(frame, planar, n, from, count, out);
    default: // 32-bit integers and floats (kind_of refuses the rest)
        return interleave_as<std::int32_t>(frame, planar, n, from, count, out);
    }
}

} // namespace

struct FfmpegDecoder {
    FfmpegInput input{};
    std::unique_ptr<AVIOContext, IoCloser> io;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVPacket, PacketCloser> packet;
    std::unique_ptr<AVFrame, FrameCloser> frame;
    int stream_index = -1;
    int channels = 0;
    int sampling_frequency = 0;
    std::int32_t kind = 0;
    std::size_t frame_bytes = 0;
    std::size_t taken = 0; // frames of `frame` already delivered
    bool holding = false;  // `frame` holds a decoded frame
    bool flushed = false;  // the demuxer ended; the decoder was told
    int read_failure = 0;  // why the demuxer ended, when it failed: said once the decoder is drained
    bool over = false;     // nothing more comes
};

namespace {

const char* format_name(const AVInputFormat& format) {
    for (const Names& n : format_names) {
        const std::size_t length = std::strlen(n.demuxer);
        if (std::strncmp(format.name, n.demuxer, length) == 0 &&
            (format.name[length] == '\0' || format.name[length] == ','))
            return n.format;
    }
    return format.name;
}

std::uint64_t wave_mask(const AVChannelLayout& layout) {
    if (layout.order != AV_CHANNEL_ORDER_NATIVE) return 0;
    const std::uint64_t mask = layout.u.mask;
    if ((mask & ~wave_speaker_bits) != 0) return 0;
    return __builtin_popcountll(mask) == layout.nb_channels ? mask : 0;
}

// The count the container declares, for lossless codecs; -1 otherwise.
std::int64_t declared_frames(const AVStream& stream, const AVCodecDescriptor* descriptor,
                             int rate) {
    const bool lossless = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
    if (!lossless || stream.duration == AV_NOPTS_VALUE || stream.duration <= 0) return -1;
    return av_rescale_q(stream.duration, stream.time_base, AVRational{1, rate});
}

std::int32_t open_container(FfmpegDecoder& d, FfmpegStream& stream, char* text) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(io_buffer_bytes));
    if (buffer == nullptr) return FFMPEG_NO_MEMORY;
    d.io.reset(
        avio_alloc_context(buffer, io_buffer_bytes, 0, &d.input, read_input, nullptr, seek_input));
    if (!d.io) {
        av_free(buffer);
        return FFMPEG_NO_MEMORY;
    }
    const AVInputFormat* found = nullptr;
    if (av_probe_input_buffer2(d.io.get(), &found, "", nullptr, 0, 0) < 0 || found == nullptr)
        return FFMPEG_UNRECOGNISED;
    for (const char* own : own_containers)
        if (std::strcmp(found->name, own) == 0) return FFMPEG_UNRECOGNISED;
    std::snprintf(stream.format, sizeof stream.format, "%s", format_name(*found));
    AVFormatContext* format = avformat_alloc_context();
    if (format == nullptr) return FFMPEG_NO_MEMORY;
    format->pb = d.io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int e = avformat_open_input(&format, nullptr, found, nullptr); e < 0) {
        say(text, "cannot be read", e); // avformat_open_input freed `format`
        return FFMPEG_FAILED;
    }
    d.format.reset(format);
    if (const int e = avformat_find_stream_info(format, nullptr); e < 0) {
        say(text, "cannot be read", e);
        return FFMPEG_FAILED;
    }
    return FFMPEG_OK;
}

std::int32_t open_decoder(FfmpegDecoder& d, FfmpegStream& stream, char* text) {
    const AVCodec* codec = nullptr;
    d.stream_index = av_find_best_stream(d.format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (d.stream_index < 0 || codec == nullptr) {
        say(text, d.stream_index == AVERROR_DECODER_NOT_FOUND ? "no decoder for its audio"
                                                              : "no audio in it");
        return FFMPEG_FAILED;
    }
    const AVStream& s = *d.format->streams[d.stream_index];
    d.codec.reset(avcodec_alloc_context3(codec));
    if (!d.codec) return FFMPEG_NO_MEMORY;
    if (const int e = avcodec_parameters_to_context(d.codec.get(), s.codecpar); e < 0) {
        say(text, "its audio cannot be decoded", e);
        return FFMPEG_FAILED;
    }
    // Two frame threads, for the codecs that have them (WavPack, ALAC, TTA, ...): the next
    // packet is decoded while this one finishes. Output comes a packet later, which is why the
    // end of the data drains the decoder (next_frame).
    d.codec->thread_count = decoder_threads;
    d.codec->thread_type = FF_THREAD_FRAME;
    if (const int e = avcodec_open2(d.codec.get(), codec, nullptr); e < 0) {
        say(text, "its audio cannot be decoded", e);
        return FFMPEG_FAILED;
    }
    d.channels = d.codec->ch_layout.nb_channels;
    d.sampling_frequency = d.codec->sample_rate;
    d.kind = kind_of(d.codec->sample_fmt);
    if (d.codec->sample_fmt == AV_SAMPLE_FMT_NONE) { // told by the first frame, and none came
        say(text, "no audio could be decoded from it");
        return FFMPEG_FAILED;
    }
    if (d.channels < 1 || d.sampling_frequency < 1 || d.kind < 0) {
        say(text, "its audio has no channels, no rate or samples of a kind not taken");
        return FFMPEG_FAILED;
    }
    d.frame_bytes = kind_bytes(d.kind) * static_cast<std::size_t>(d.channels);
    for (unsigned i = 0; i < d.format->nb_streams; ++i) // only our stream's packets are read
        if (static_cast<int>(i) != d.stream_index) d.format->streams[i]->discard = AVDISCARD_ALL;
    stream.channels = d.channels;
    stream.sampling_frequency = d.sampling_frequency;
    stream.sample_kind = d.kind;
    stream.frames = declared_frames(s, avcodec_descriptor_get(codec->id), d.sampling_frequency);
    stream.channel_mask = wave_mask(d.codec->ch_layout);
    return FFMPEG_OK;
}

// The next decoded frame into d.frame; false at the end of the data or after a failure
// (FFMPEG_FAILED in `result`, with `text`).
bool next_frame(FfmpegDecoder& d, std::int32_t& result, char* text) {
    for (;;) {
        const int received = avcodec_receive_frame(d.codec.get(), d.frame.get());
        if (received == 0) {
            const bool same = d.frame->ch_layout.nb_channels == d.channels &&
                              d.frame->sample_rate == d.sampling_frequency &&
                              kind_of(static_cast<AVSampleFormat>(d.frame->format)) == d.kind;
            if (same) return true;
            say(text, "the audio changes its channels, rate or sample format midway");
            result = FFMPEG_FAILED;
            return false;
        }
        if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && d.flushed)) {
            if (d.read_failure == 0) return false;
            say(text, "damaged or missing data", d.read_failure);
            result = FFMPEG_FAILED;
            return false;
        }
        if (received != AVERROR(EAGAIN)) {
            say(text, "damaged audio data", received);
            result = FFMPEG_FAILED;
            return false;
        }
        const int read = av_read_frame(d.format.get(), d.packet.get());
        if (read < 0) {
            // The frames the decoder still holds (a frame thread's, a codec's delay) come before
            // the end, whether the demuxer failed or not: it is drained first.
            if (read != AVERROR_EOF) d.read_failure = read;
            d.flushed = true;
            avcodec_send_packet(d.codec.get(), nullptr);
            continue;
        }
        if (d.packet->stream_index != d.stream_index) {
            av_packet_unref(d.packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(d.codec.get(), d.packet.get());
        av_packet_unref(d.packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            say(text, "damaged audio data", sent);
            result = FFMPEG_FAILED;
            return false;
        }
    }
}

std::int32_t open_file(const FfmpegInput* input, FfmpegStream* stream, FfmpegDecoder** decoder,
                       char* text) {
    *stream = FfmpegStream{};
    *decoder = nullptr;
    text[0] = '\0';
    auto d = std::make_unique<FfmpegDecoder>();
    d->input = *input;
    d->packet.reset(av_packet_alloc());
    d->frame.reset(av_frame_alloc());
    if (!d->packet || !d->frame) return FFMPEG_NO_MEMORY;
    if (const std::int32_t r = open_container(*d, *stream, text); r != FFMPEG_OK) return r;
    if (const std::int32_t r = open_decoder(*d, *stream, text); r != FFMPEG_OK) return r;
    *decoder = d.release();
    return FFMPEG_OK;
}

std::int32_t module_open(const FfmpegInput* input, FfmpegStream* stream, FfmpegDecoder** decoder,
                         char* text) {
    try {
        return open_file(input, stream, decoder, text);
    } catch (const std::bad_alloc&) {
        return FFMPEG_NO_MEMORY;
    }
}

std::int32_t module_decode(FfmpegDecoder* d, void* out, std::size_t frames, std::size_t* decoded,
                           char* text) {
    *decoded = 0;
    text[0] = '\0';
    std::int32_t result = FFMPEG_OK;
    auto* to = static_cast<std::byte*>(out);
    while (*decoded < frames && !d->over) {
        if (!d->holding) {
            d->holding = next_frame(*d, result, text);
            d->taken = 0;
            d->over = !d->holding;
            continue;
        }
        const auto have = static_cast<std::size_t>(d->frame->nb_samples) - d->taken;
        const std::size_t n = std::min(have, frames - *decoded);
        interleave(*d->frame, d->channels, d->taken, n, to + *decoded * d->frame_bytes);
        *decoded += n;
        d->taken += n;
        if (d->taken == static_cast<std::size_t>(d->frame->nb_samples)) {
            av_frame_unref(d->frame.get());
            d->holding = false;
        }
    }
    return result;
}

void module_close(FfmpegDecoder* decoder) {
    std::unique_ptr<FfmpegDecoder> owned(decoder);
}

constexpr FfmpegModule module_table = {FFMPEG_MODULE_VERSION, module_open, module_decode,
                                       module_close};

} // namespace

extern "C" __attribute__((visibility("default"))) const FfmpegModule*
vantrel_ffmpeg_module_1(void) {
    av_log_set_level(AV_LOG_QUIET);
    return &module_table;
}
