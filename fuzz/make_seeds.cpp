// Writes the fuzzers' seed corpora: one small valid file of every container and sample width,
// from the library's own writers, as it is for audio_file_fuzz, behind a few option prefixes
// for encode_fuzz, and as parameters plus PCM for encoder_fuzz.
//
//   make_seeds DIR    ->  DIR/audio_file_fuzz/*, DIR/encode_fuzz/*, DIR/encoder_fuzz/*
#include "process.h"
#include "sample_files.h"
#include "wave_fixture.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

std::string word(int32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return out;
}

// encode_fuzz's option prefix: channel mode, blk_len, subbands, allocation (6: mSBC), bit rate.
std::string options(int32_t mode, int32_t blk_index, int32_t subband_index, int32_t snr,
                    int32_t rate) {
    return word(mode) + word(blk_index) + word(subband_index) + word(snr) + word(rate);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const char* target : {"audio_file_fuzz", "encode_fuzz", "encoder_fuzz"})
        std::filesystem::create_directories(root / target);

    const std::string prefixes[] = {options(3, 3, 1, 1, 375000), options(2, 1, 0, 0, 229000),
                                    options(1, 2, 1, 1, 128000)};
    size_t n = 0;
    for (const auto& file : testsupport::sample_files(300)) {
        testsupport::write_file(root / "audio_file_fuzz" / file.name, file.bytes);
        const std::string& prefix = prefixes[n++ % std::size(prefixes)];
        testsupport::write_file(root / "encode_fuzz" / file.name, prefix + file.bytes);
    }
    // encoder_fuzz: frequency, channels, subbands, blocks, mode, bitpool, method, then PCM.
    const std::string pcm = testsupport::sample_files(128 * 3).front().bytes.substr(44);
    // encode_fuzz in mSBC: a 16000 Hz mono WAVE file of six frames and a bit.
    testsupport::write_file(root / "encode_fuzz" / "msbc.wav",
                            options(0, 0, 0, 6, 0) +
                                testsupport::wave_file(1, 16000, 16, pcm.substr(0, 2 * 730)));
    const int32_t shapes[][7] = {{2, 1, 1, 3, 3, 53, 1},
                                 {0, 0, 0, 0, 0, 18, 0},
                                 {3, 1, 1, 2, 1, 250, 1},
                                 {1, 1, 0, 1, 2, 128, 0}};
    for (const auto& shape : shapes) {
        std::string seed;
        for (int32_t v : shape) seed += word(v);
        testsupport::write_file(root / "encoder_fuzz" / ("shape" + std::to_string(n++)),
                                seed + pcm);
    }
    return 0;
}
