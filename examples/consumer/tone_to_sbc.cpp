// Embedding the encoder: a tone generated here, encoded into a file of SBC frames through the
// public header alone (1 kHz on the left, 1.5 kHz on the right, 44100 Hz, JOINT_STEREO, 8
// subbands, 16 blocks, bitpool 53).
//
//   tone_to_sbc out.sbc [seconds]      (default 2 seconds)
//
//   create ─► configure ─► frame length ─► per frame: 128 instants of PCM ─► encode ─► fwrite
//                                                                                ─► destroy
#include "sbc/sbc.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <span>
#include <vector>

namespace {

constexpr int32_t rate = 44100, channels = 2, subbands = 8, blocks = 16, bitpool = 53;
constexpr std::array<double, channels> tone_hz = {1000.0, 1500.0};

// One frame of interleaved PCM, starting at sample instant `first`.
void fill_tone(std::span<int16_t> pcm, int64_t first, int32_t instants) {
    for (int32_t t = 0; t < instants; ++t)
        for (int32_t c = 0; c < channels; ++c) {
            const double phase =
                2.0 * std::numbers::pi * tone_hz[c] * static_cast<double>(first + t) / rate;
            pcm[static_cast<size_t>(t * channels + c)] =
                static_cast<int16_t>(std::lround(16000.0 * std::sin(phase)));
        }
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tone_to_sbc out.sbc [seconds]\n");
        return 2;
    }
    const int64_t seconds = argc > 2 ? std::atoll(argv[2]) : 2;

    auto encoder = sbc::encoder_create(rate, channels, subbands, blocks);
    if (!encoder ||
        sbc::encoder_configure(*encoder, sbc::JOINT_STEREO, bitpool, sbc::SNR) != sbc::CONFIGURE_OK)
        return 1; // a refused format has been described on standard error
    std::vector<uint8_t> frame(static_cast<size_t>(sbc::encoder_frame_length(*encoder)));
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const int32_t instants = encoder->samples_per_channel;
    const int64_t frames = seconds * rate / instants;
    bool ok = true;
    for (int64_t f = 0; f < frames && ok; ++f) {
        fill_tone(pcm, f * instants, instants);
        int32_t length = 0;
        ok = sbc::encoder_encode_frame(*encoder, pcm, frame, length) > 0 &&
             std::fwrite(frame.data(), 1, static_cast<size_t>(length), out) ==
                 static_cast<size_t>(length);
    }
    ok = std::fclose(out) == 0 && ok;
    sbc::encoder_destroy(std::move(encoder));
    if (!ok) {
        std::fprintf(stderr, "tone_to_sbc: encoding or writing %s failed\n", argv[1]);
        return 1;
    }
    std::printf("%lld frames of %zu bytes written to %s\n", static_cast<long long>(frames),
                frame.size(), argv[1]);
    return 0;
}
