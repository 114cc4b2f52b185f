// Embedding the audio file library: what audio_open finds in a file (or on standard input, as
// "AUDIO_FROM_STDIN"), and the largest stored value, read frame by frame.
//
//   describe_audio in.wav
#include "audiofile/audiofile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <span>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: describe_audio inputfile\n");
        return 2;
    }
    audiofile::AudioInfo info{};
    auto file = audiofile::audio_open(argv[1], "r", info);
    if (!file) return 1; // the library has said why on standard error
    if (info.channels < 1 || info.channels > 2) {
        std::fprintf(stderr, "describe_audio: %d channels; this example reads one or two\n",
                     info.channels);
        audiofile::audio_close(file);
        return 1;
    }

    std::array<double, 2> values{};
    const auto frame = std::span(values).first(static_cast<size_t>(info.channels));
    long long frames = 0;
    double peak = 0.0;
    while ((!info.num_samples_known || frames < info.num_samples) &&
           audiofile::audio_read(frame, *file) == 0) {
        for (double v : frame) peak = std::max(peak, std::fabs(v));
        ++frames;
    }
    std::printf("%d channels, %d Hz, %d-bit %s samples, %lld sample frames, peak %g\n",
                info.channels, info.sampling_frequency, audiofile::sample_bits(info.sample_type),
                audiofile::sample_is_float(info.sample_type) ? "float" : "integer", frames, peak);
    return audiofile::audio_close(file) == 0 ? 0 : 1;
}
