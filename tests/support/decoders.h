// Test support: SBC decoders written elsewhere, run as black boxes.
//
//   Decoded d = decode_sbc("ffmpeg", dir / "in.sbc", dir, 44100, 2);
//   if (!d.problem.empty()) ... ;        // the decoder failed or complained on standard error
//   d.pcm                                 // interleaved 16-bit samples
//
// "ffmpeg" runs `ffmpeg -v error -f sbc -i in.sbc -f s16le out.raw`; "sbcdec" runs
// `sbcdec -f out.au in.sbc` (`sbcdec -m ...` for an mSBC stream, which ffmpeg recognises by
// itself) and reads its Sun audio output (checked against `rate` and `channels`).
// Intermediate files go to `work_dir`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct Decoded {
    std::string problem; // empty when the decoder ran cleanly
    std::vector<int16_t> pcm;
};

inline constexpr const char* sbc_decoders[] = {"ffmpeg", "sbcdec"};

Decoded decode_sbc(const std::string& decoder, const std::filesystem::path& stream,
                   const std::filesystem::path& work_dir, int32_t rate, int32_t channels,
                   bool msbc = false);

// Many streams, each decoded as decode_sbc would, in order. ffmpeg decodes them all in one run
// (`-i` and `-map` once for each), since its start-up costs many times an SBC stream's
// decoding; when that run fails or complains, each stream is decoded alone, so that every
// problem is told of the stream that has it.
struct SbcFile {
    std::filesystem::path path;
    int32_t rate = 0;
    int32_t channels = 0;
    bool msbc = false;
};
std::vector<Decoded> decode_sbc_files(const std::string& decoder, const std::vector<SbcFile>& files,
                                      const std::filesystem::path& work_dir);

// The analysis plus synthesis delay of an SBC encoder and decoder, in samples.
constexpr int32_t codec_delay(int32_t subbands) {
    return subbands == 8 ? 73 : 37;
}

// 10 log10(Σ x² / Σ (x − y)²) over `count` instants from `first`, all channels together, with
// the decoded signal y taken `delay` instants later than the input x. 200 when they agree.
double snr_db(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded,
              int32_t channels, int32_t delay, int32_t first, int32_t count);

} // namespace testsupport
