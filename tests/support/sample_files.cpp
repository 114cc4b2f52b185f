#include "sample_files.h"

#include "audiofile/audiofile.h"
#include "process.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

using namespace audiofile;

struct Kind {
    int32_t type;
    const char* name;
};

constexpr Kind kinds[] = {
    {ST_WAVE_PCM8, "wave_pcm8.wav"},     {ST_WAVE_PCM16, "wave_pcm16.wav"},
    {ST_WAVE_PCM24, "wave_pcm24.wav"},   {ST_WAVE_PCM32, "wave_pcm32.wav"},
    {ST_WAVE_FLOAT32, "wave_f32.wav"},   {ST_WAVE_FLOAT64, "wave_f64.wav"},
    {ST_SUN_PCM8, "sun_pcm8.au"},        {ST_SUN_PCM16, "sun_pcm16.au"},
    {ST_SUN_PCM24, "sun_pcm24.au"},      {ST_SUN_PCM32, "sun_pcm32.au"},
    {ST_SUN_FLOAT32, "sun_f32.au"},      {ST_SUN_FLOAT64, "sun_f64.au"},
    {ST_AIFF_PCM8, "aiff_pcm8.aiff"},    {ST_AIFF_PCM16, "aiff_pcm16.aiff"},
    {ST_AIFF_PCM24, "aiff_pcm24.aiff"},  {ST_AIFF_PCM32, "aiff_pcm32.aiff"},
    {ST_AIFC_PCM8, "aifc_pcm8.aifc"},    {ST_AIFC_PCM16, "aifc_pcm16.aifc"},
    {ST_AIFC_PCM24, "aifc_pcm24.aifc"},  {ST_AIFC_PCM32, "aifc_pcm32.aifc"},
    {ST_AIFC_FLOAT32, "aifc_f32.aifc"},  {ST_AIFC_FLOAT64, "aifc_f64.aifc"},
    {ST_SPW_FIXED16, "spw_fixed16.spw"}, {ST_SPW_DOUBLE, "spw_double.spw"},
    {ST_H512_PCM16, "h512_pcm16.h512"},  {ST_H512_FLOAT32, "h512_f32.h512"},
    {ST_H512_FLOAT64, "h512_f64.h512"},
};

bool little_endian(int32_t type) {
    return (type >= ST_WAVE_PCM8 && type <= ST_WAVE_PCM32) || type == ST_WAVE_FLOAT32 ||
           type == ST_WAVE_FLOAT64 || type == ST_H512_PCM16 || type == ST_H512_FLOAT32 ||
           type == ST_H512_FLOAT64;
}

void append(std::string& out, uint64_t bits, int bytes, bool little) {
    for (int i = 0; i < bytes; ++i) {
        const int shift = 8 * (little ? i : bytes - 1 - i);
        out += static_cast<char>((bits >> shift) & 0xFF);
    }
}

} // namespace

std::string stored_samples(int32_t sample_type, const std::vector<double>& unit) {
    const int bits = sample_bits(sample_type);
    const bool little = little_endian(sample_type);
    const bool unscaled_float = sample_type == ST_SPW_DOUBLE || sample_type == ST_H512_FLOAT32 ||
                                sample_type == ST_H512_FLOAT64;
    std::string out;
    for (double v : unit) {
        if (sample_is_float(sample_type)) {
            const double value = unscaled_float ? v * 32767.0 : v;
            if (bits == 32)
                append(out, std::bit_cast<uint32_t>(static_cast<float>(value)), 4, little);
            else
                append(out, std::bit_cast<uint64_t>(value), 8, little);
            continue;
        }
        const double full_scale = std::ldexp(1.0, bits - 1) - 1.0;
        auto value = static_cast<int64_t>(std::lround(v * full_scale));
        if (sample_type == ST_WAVE_PCM8) value += 128;
        append(out, static_cast<uint64_t>(value), bits / 8, little);
    }
    return out;
}

std::vector<SampleFile> sample_files(int frames) {
    std::vector<SampleFile> files;
    TempDir dir;
    for (const Kind& kind : kinds) {
        const bool spw = kind.type == ST_SPW_FIXED16 || kind.type == ST_SPW_DOUBLE;
        const int channels = spw ? 1 : 2;
        std::vector<double> unit;
        for (int t = 0; t < frames; ++t)
            for (int c = 0; c < channels; ++c)
                unit.push_back(0.4 * std::sin(2 * M_PI * 440.0 * (c + 1) * t / 44100.0) +
                               0.2 * std::sin(2 * M_PI * 3000.0 * t / 44100.0));
        AudioInfo info{};
        info.channels = channels;
        info.sampling_frequency = 44100;
        info.num_samples = frames;
        info.sample_type = kind.type;
        std::strcpy(info.comment.data(), "seed");
        const auto path = dir / kind.name;
        auto file = audio_open(path.c_str(), "w", info);
        if (!file) throw std::runtime_error(std::string("cannot write ") + kind.name);
        const std::string samples = stored_samples(kind.type, unit);
        std::fwrite(samples.data(), 1, samples.size(), file->stream.get());
        if (audio_close(file) != 0)
            throw std::runtime_error(std::string("cannot close ") + kind.name);
        files.push_back({kind.name, kind.type, channels, frames, read_file(path)});
    }
    return files;
}

} // namespace testsupport
