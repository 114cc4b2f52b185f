// Fuzz target: the whole encoding run, from arbitrary file bytes and arbitrary option values
// (channel mode, blk_len, subbands, allocation method, bit rate; mSBC when bits 1 and 2 of the
// allocation word are set). Whatever the run accepts must
// come out as whole frames of the length their header gives, with correct CRCs; whatever it
// refuses must be refused with a status of 1, never a crash.
//
//   scripts/fuzz encode_fuzz 1800
#include "cli/encode/settings.h"
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

    char* bytes = nullptr;
    size_t length = 0;
    std::FILE* output = open_memstream(&bytes, &length);
    const int status = cli::encode_input(settings, output, std::move(input), info);
    std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
    if (status != 0 && status != 1) std::abort();
    const auto stream = std::span(reinterpret_cast<const uint8_t*>(bytes), length);
    if (!fuzzcheck::whole_frames(stream)) std::abort();
    if (length == 0) return 0;
    // Never more frames than the input's sample bytes hold.
    const fuzzcheck::FrameShape shape = fuzzcheck::shape_of(stream);
    const size_t frames = length / fuzzcheck::frame_length(shape);
    const size_t sample_bytes = static_cast<size_t>(audiofile::sample_bits(info.sample_type) / 8);
    const size_t frame_input = static_cast<size_t>(shape.blocks * shape.subbands) *
                               static_cast<size_t>(info.channels) * sample_bytes;
    if (frames * frame_input > size) std::abort();
    return 0;
}
