// Writes the project's sample: a 16-bit stereo WAVE file at 44100 Hz with a short tune of
// decaying harmonic notes, one voice leaning left and one right, so that every channel mode has
// something to do.
//
//   make_sample out.wav [seconds]      (default 6 seconds; any length up to 3 hours)
//
// The same arguments always give the same bytes.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int rate = 44100;
constexpr int channels = 2;
constexpr double pi = 3.14159265358979323846;

// A-minor arpeggio for the melody (left-leaning) and a bass line (right-leaning), in Hz.
constexpr std::array melody = {440.0, 523.25, 659.25, 880.0, 659.25, 523.25, 493.88, 587.33};
constexpr std::array bass = {110.0, 110.0, 87.31, 87.31, 130.81, 130.81, 98.0, 98.0};
constexpr double note_seconds = 0.375;

void put_le(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> wave_header(uint32_t frames) {
    const uint32_t data_bytes = frames * channels * 2;
    std::vector<uint8_t> h;
    for (char c : {'R', 'I', 'F', 'F'}) h.push_back(static_cast<uint8_t>(c));
    put_le(h, data_bytes + 36, 4);
    for (char c : {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}) h.push_back(static_cast<uint8_t>(c));
    put_le(h, 16, 4);
    put_le(h, 1, 2); // PCM
    put_le(h, channels, 2);
    put_le(h, rate, 4);
    put_le(h, rate * channels * 2, 4);
    put_le(h, channels * 2, 2);
    put_le(h, 16, 2);
    for (char c : {'d', 'a', 't', 'a'}) h.push_back(static_cast<uint8_t>(c));
    put_le(h, data_bytes, 4);
    return h;
}

// A note with three harmonics and an exponential decay, t seconds after its start.
double voice(double frequency, double t) {
    const double envelope = std::exp(-3.0 * t) * std::min(1.0, t * 200.0);
    return envelope * (std::sin(2 * pi * frequency * t) + 0.4 * std::sin(4 * pi * frequency * t) +
                       0.15 * std::sin(6 * pi * frequency * t));
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s out.wav [seconds]\n", argv[0]);
        return 1;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 6.0;
    if (!(seconds > 0 && seconds <= 3 * 3600)) {
        std::fprintf(stderr, "%s: seconds must be above 0 and at most 10800\n", argv[0]);
        return 1;
    }
    const auto frames = static_cast<uint32_t>(seconds * rate);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const auto header = wave_header(frames);
    std::fwrite(header.data(), 1, header.size(), out);

    const auto note_frames = static_cast<uint32_t>(note_seconds * rate);
    std::vector<uint8_t> block;
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t note = i / note_frames;
        const double t = static_cast<double>(i % note_frames) / rate;
        const double high = voice(melody[note % melody.size()], t);
        const double low = voice(bass[note % bass.size()], t);
        const double left = 0.30 * high + 0.12 * low;
        const double right = 0.12 * high + 0.30 * low;
        for (double v : {left, right}) {
            const auto sample = static_cast<int16_t>(std::lround(v * 32767.0));
            put_le(block, static_cast<uint16_t>(sample), 2);
        }
        if (block.size() >= 65536) {
            std::fwrite(block.data(), 1, block.size(), out);
            block.clear();
        }
    }
    std::fwrite(block.data(), 1, block.size(), out);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
