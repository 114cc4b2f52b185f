// Embedding the decoder: a tone encoded with the library's encoder, its frames read back with
// the stream scanner and decoded, and the decoded audio compared with the tone (the codec
// delays it by 9 × subbands + 1 = 73 instants), through the public headers alone.
//
//   sbc_round_trip [seconds]      (default 1 second)
//
//   encoder ─► frames (bytes) ─► scanner_push ─► scanner_next: frame ─► decoder_decode_frame
//                                                  damaged, lost ─► silence of their length
#include "sbc/sbc.h"
#include "sbc/scan.h"

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
constexpr int32_t delay = 9 * subbands + 1;

int16_t tone(int64_t instant, int32_t channel) {
    const double hz = channel == 0 ? 1000.0 : 1500.0;
    return static_cast<int16_t>(
        std::lround(16000.0 * std::sin(2.0 * std::numbers::pi * hz * instant / rate)));
}

// The tone, encoded frame after frame, back to back.
std::vector<uint8_t> encode(int64_t frames) {
    std::vector<uint8_t> stream;
    auto encoder = sbc::encoder_create(rate, channels, subbands, blocks);
    if (!encoder ||
        sbc::encoder_configure(*encoder, sbc::JOINT_STEREO, bitpool, sbc::SNR) != sbc::CONFIGURE_OK)
        return stream;
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> frame{};
    const int32_t instants = encoder->samples_per_channel;
    for (int64_t f = 0; f < frames; ++f) {
        for (int32_t t = 0; t < instants; ++t)
            for (int32_t c = 0; c < channels; ++c)
                pcm[static_cast<size_t>(t * channels + c)] = tone(f * instants + t, c);
        int32_t length = 0;
        if (sbc::encoder_encode_frame(*encoder, pcm, frame, length) <= 0) break;
        stream.insert(stream.end(), frame.begin(), frame.begin() + length);
    }
    sbc::encoder_destroy(std::move(encoder));
    return stream;
}

} // namespace

int main(int argc, char* argv[]) {
    const int64_t seconds = argc > 1 ? std::atoll(argv[1]) : 1;
    const std::vector<uint8_t> stream = encode(seconds * rate / (subbands * blocks));

    auto scanner = sbc::scanner_create();
    auto decoder = sbc::decoder_create();
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::span<const uint8_t> rest(stream);
    int64_t instant = 0, frames = 0;
    double signal = 0, noise = 0;
    for (bool done = false; !done;) {
        const sbc::ScanEvent e = sbc::scanner_next(*scanner);
        int32_t n = 0;
        switch (e.type) {
        case sbc::ScanEventType::need_input: // bytes as they would arrive, pushed as they come
            if (rest.empty()) sbc::scanner_finish(*scanner);
            rest = rest.subspan(sbc::scanner_push(*scanner, rest));
            continue;
        case sbc::ScanEventType::frame:
            n = sbc::decoder_decode_frame(*decoder, e.bytes, e.header, pcm);
            ++frames;
            break;
        case sbc::ScanEventType::damaged:
            n = sbc::decoder_conceal_frame(*decoder, e.header, pcm);
            break;
        case sbc::ScanEventType::end:
            done = true;
            continue;
        default: // skipped bytes, lost H2 units: none in this stream
            continue;
        }
        for (int32_t t = 0; t < n; ++t, ++instant)
            for (int32_t c = 0; c < channels && instant >= delay; ++c) {
                const double want = tone(instant - delay, c);
                const double got = pcm[static_cast<size_t>(t * channels + c)];
                signal += want * want;
                noise += (want - got) * (want - got);
            }
    }
    const double snr = 10.0 * std::log10(signal / std::max(noise, 1e-9));
    std::printf("%lld frames decoded, %lld instants, SNR %.1f dB\n", static_cast<long long>(frames),
                static_cast<long long>(instant), snr);
    return frames > 0 && snr > 40.0 ? 0 : 1;
}
