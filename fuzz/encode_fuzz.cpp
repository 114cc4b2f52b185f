// Fuzz target: the whole encoding run, from arbitrary file bytes and arbitrary option values
// (channel mode, blk_len, subbands, allocation method, bit rate; mSBC when bits 1 and 2 of the
// allocation word are set). Whatever the run accepts must
// come out as whole frames of the length their header gives, with correct CRCs, and no more of
// them than the input's stored samples make once converted to the stream's rate; whatever it
// refuses must be refused with a status of 1, never a crash.
//
//   scripts/fuzz encode_fuzz 1800
#include "cli/encode/settings.h"
#include "convert/resample.h"
#include "frame_check.h"
#include "fuzz_input.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Mostly valid values, sometimes anything: the interesting paths need valid shapes.
int32_t shape(int32_t raw, std::initializer_list<int32_t> valid) {
    const auto index = static_cast<uint32_t>(raw) % (valid.size() + 1);
    return index < valid.size() ? valid.begin()[index] : raw >> 8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cli::Settings settings;
    settings.channel_mode = fuzzcheck::take(data, size);
    settings.blk_len = shape(fuzzcheck::take(data, size), {4, 8, 12, 16});
    settings.subbands = shape(fuzzcheck::take(data, size), {4, 8});
    const int32_t method = fuzzcheck::take(data, size);
    settings.allocation_method = method & 1;
    settings.msbc = (method & 6) == 6; // takes only a 16000 Hz mono input
    settings.bit_rate = fuzzcheck::take(data, size);

    fuzzcheck::PipeBytes pipe{data, size, 0};
    audiofile::AudioInfo info{};
    auto input = audiofile::audio_open_stream(fuzzcheck::pipe_stream(pipe), info);
    // mSBC takes any rate to 16000 Hz. A header's rate of a few hertz makes millions of instants
    // out of a few bytes: right, but slow enough to stall the fuzzer, so such ratios are left to
    // the resampler's own tests.
    const int32_t stream_rate = settings.msbc ? 16000 : info.sampling_frequency;
    if (input && info.sampling_frequency > 0 && stream_rate / info.sampling_frequency > 64) return 0;

    char* bytes = nullptr;
    size_t length = 0;
    std::FILE* output = open_memstream(&bytes, &length);
    const int status = cli::encode_input(settings, output, std::move(input), info);
    std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
    if (status != 0 && status != 1) std::abort();
    const auto stream = std::span(reinterpret_cast<const uint8_t*>(bytes), length);
    if (!fuzzcheck::whole_frames(stream)) std::abort();
    // Decoded inputs (FLAC and the like) hold more samples than bytes; stored ones cannot.
    if (length == 0 || info.sample_type >= audiofile::ST_DECODED_PCM16) return 0;
    const fuzzcheck::FrameShape shape = fuzzcheck::shape_of(stream);
    const int64_t frames = static_cast<int64_t>(length / fuzzcheck::frame_length(shape));
    const int64_t stored_frame = static_cast<int64_t>(info.channels) *
                                 (audiofile::sample_bits(info.sample_type) / 8);
    if (stored_frame <= 0) std::abort();
    const int64_t instants = convert::resampled_length(static_cast<int64_t>(size) / stored_frame,
                                                       info.sampling_frequency, stream_rate);
    const int64_t per_frame = static_cast<int64_t>(shape.blocks) * shape.subbands;
    if (frames > (instants + per_frame - 1) / per_frame) std::abort();
    return 0;
}
