// Interoperability: streams from this encoder, over the whole parameter grid, decoded by two
// decoders written elsewhere (run as black boxes), must decode without a complaint, to the
// expected number of samples, and back to the input signal within a measured margin.
//
// Each stream carries six signal classes one after another, each followed by a short gap of
// silence so that one class's filter tail does not spill into the next one's measurement:
//
//   | silence | sines | chirp | noise | full-scale square | impulse |   (1024 + 256 each)
//
// The decoded signal is compared after removing the analysis + synthesis delay (73 samples
// with 8 subbands, 37 with 4). SNR = 10 log10(Σ x² / Σ (x − y)²) over a class's 1024
// samples, both channels together; silence must decode to (almost) exact zeros instead.
#include "decoders.h"
#include "process.h"
#include "sbc/sbc.h"
#include "sbc_test_util.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <iomanip>
#include <iostream>
#include <map>
#include <numbers>
#include <sstream>
#include <vector>

namespace {

using testsupport::have_program;
using testsupport::run_process;
using testsupport::TempDir;

constexpr int32_t segment_len = 1024;
constexpr int32_t gap_len = 256;
constexpr int32_t period = segment_len + gap_len;

enum Signal { Silence, Sines, Chirp, Noise, Square, Impulse, SignalCount };
const char* const signal_names[SignalCount] = {"silence", "sines",  "chirp",
                                               "noise",   "square", "impulse"};
constexpr int32_t total_instants = period * SignalCount; // 7680: whole frames for every shape

double signal_value(Signal s, int32_t ch, int32_t n, uint32_t& noise_state) {
    const double t = n;
    const double two_pi = 2.0 * std::numbers::pi;
    switch (s) {
    case Silence:
        return 0.0;
    case Sines:
        return ch == 0
                   ? 6000.0 * std::sin(two_pi * 0.0105 * t) + 4000.0 * std::sin(two_pi * 0.113 * t)
                   : 7000.0 * std::sin(two_pi * 0.0231 * t + 1.0) +
                         3000.0 * std::sin(two_pi * 0.21 * t);
    case Chirp: { // linear sweep over the whole band, up on the left, down on the right
        const double f0 = ch == 0 ? 0.002 : 0.45, f1 = ch == 0 ? 0.45 : 0.002;
        const double phase = two_pi * (f0 * t + (f1 - f0) * t * t / (2.0 * segment_len));
        return (ch == 0 ? 12000.0 : 9000.0) * std::sin(phase);
    }
    case Noise: // white, uniform in ±10000, a fixed linear congruential sequence
        noise_state = noise_state * 1664525u + 1013904223u;
        return (static_cast<double>(noise_state >> 8) / 16777216.0 * 2.0 - 1.0) * 10000.0;
    case Square: {
        const int32_t half = ch == 0 ? 32 : 50;
        return (n / half) % 2 == 0 ? 32767.0 : -32768.0;
    }
    case Impulse:
        return n == (ch == 0 ? segment_len / 3 : segment_len / 2) ? (ch == 0 ? 30000.0 : -20000.0)
                                                                  : 0.0;
    default:
        return 0.0;
    }
}

// Interleaved test signal for `channels` channels.
std::vector<int16_t> make_signal(int32_t channels) {
    std::vector<int16_t> pcm(static_cast<size_t>(total_instants * channels), 0);
    for (int32_t ch = 0; ch < channels; ++ch) {
        uint32_t noise_state = 12345u + static_cast<uint32_t>(ch) * 777u;
        for (int32_t s = 0; s < SignalCount; ++s)
            for (int32_t n = 0; n < segment_len; ++n)
                pcm[static_cast<size_t>((s * period + n) * channels + ch)] = static_cast<int16_t>(
                    std::trunc(signal_value(static_cast<Signal>(s), ch, n, noise_state)));
    }
    return pcm;
}

struct Config {
    int32_t fs, blk_len, subbands, mode, method, bitpool;
    std::string name() const {
        std::ostringstream s;
        s << fs << "Hz " << blk_len << "blk " << subbands << "sb mode" << mode
          << (method ? " SNR" : " LOUDNESS") << " bitpool " << bitpool;
        return s.str();
    }
};

// Quality of one class in one decoded stream: SNR in dB (silence: the largest decoded
// magnitude, reported as a negative "SNR" so that the minimum is the worst case).
double measure(Signal s, const std::vector<int16_t>& in, const std::vector<int16_t>& out,
               int32_t channels, int32_t delay) {
    double signal = 0.0, error = 0.0, peak = 0.0;
    const int32_t first = s * period;
    const int32_t last = first + segment_len; // the gap only isolates the classes
    for (int32_t n = first; n < last; ++n) {
        for (int32_t ch = 0; ch < channels; ++ch) {
            const double x = in[static_cast<size_t>(n * channels + ch)];
            const double y = out[static_cast<size_t>((n + delay) * channels + ch)];
            signal += x * x;
            error += (x - y) * (x - y);
            peak = std::max(peak, std::fabs(y));
        }
    }
    if (s == Silence) return -peak;
    return error == 0.0 ? 200.0 : 10.0 * std::log10(signal / error);
}

// Lowest acceptable figure per class (silence: minus the largest decoded magnitude), for a
// typical and for the largest bitpool. Measured minima over the grid, identical for both
// decoders, were, in dB (silence 0, an exact zero output, everywhere):
//   typical  sines 32.0  chirp 34.1  noise  9.0  square 24.1  impulse 15.8
//   largest  sines 66.2  chirp 64.0  noise 64.0  square 64.8  impulse 66.0
// The thresholds sit about 3 dB below. Why the figures are what they are:
// - typical pools give 3.3 to 4 bits per sample on average; white noise spreads them over all
//   bands, and LOUDNESS favours the low ones, so its SNR is the lowest (about 1.5 dB per bit
//   at worst, in STEREO/JOINT_STEREO where one pool serves two noisy channels); tonal signals
//   put all bits into a few bands and reach 30 dB and more;
// - the full-scale square's harmonics clip in the decoder (it rings beyond ±32767);
// - a single impulse has little energy for the error of the frames around it to be set
//   against; the SNR is taken after delay alignment, so a misplaced or lost impulse scores
//   0 dB or less;
// - at the largest pool every sample gets 16 bits, and what remains (64 dB) is the filter
//   bank's own reconstruction error, which no encoder can improve.
// A stream that does not decode as intended (wrong bit allocation, field order, filter
// coefficient or sign) scores far below these figures: about 0 dB or negative.
struct Thresholds {
    double typical[SignalCount];
    double largest[SignalCount];
};
constexpr Thresholds thresholds = {
    {-1.0, 29.0, 31.0, 7.0, 21.0, 13.0},
    {-1.0, 61.0, 61.0, 61.0, 61.0, 61.0},
};

enum class Pool { Typical, Largest };

int32_t bitpool_for(Pool pool, int32_t mode, int32_t subbands) {
    if (pool == Pool::Largest) return sbc::encoder_max_bitpool(mode, subbands);
    // Typical A2DP settings: about 4 bits per sample for one channel, 53 per 8 bands for two.
    return mode == sbc::MONO || mode == sbc::DUAL_CHANNEL ? 4 * subbands : 53 * subbands / 8;
}

struct GridParam {
    const char* decoder;
    Pool pool;
};

void PrintTo(const GridParam& p, std::ostream* os) {
    *os << p.decoder << (p.pool == Pool::Typical ? ", typical bitpool" : ", largest bitpool");
}

class DecoderInterop : public ::testing::TestWithParam<GridParam> {};

TEST_P(DecoderInterop, EveryParameterCombinationDecodesToTheInput) {
    const GridParam param = GetParam();
    const std::string decoder = param.decoder;
    if (!have_program(decoder))
        GTEST_SKIP() << decoder << " is not installed: interoperability with it is NOT checked";
    const std::vector<int16_t> mono = make_signal(1), stereo = make_signal(2);
    TempDir dir;
    // worst[mode][signal]: lowest figure over the grid, and where it was seen.
    double worst[4][SignalCount];
    std::string where[4][SignalCount];
    for (auto& row : worst) std::fill(std::begin(row), std::end(row), 1e9);
    int streams = 0;
    // One sampling frequency at a time: its 64 streams are written, decoded (by ffmpeg in one
    // run) and measured.
    for (int32_t fs : {16000, 32000, 44100, 48000}) {
        std::vector<Config> configs;
        std::vector<testsupport::SbcFile> files;
        for (int32_t blk_len : {4, 8, 12, 16}) {
            for (int32_t subbands : {4, 8}) {
                for (int32_t mode : {0, 1, 2, 3}) {
                    for (int32_t method : {sbc::LOUDNESS, sbc::SNR}) {
                        const int32_t channels = mode == sbc::MONO ? 1 : 2;
                        const Config cfg{fs,   blk_len, subbands,
                                         mode, method,  bitpool_for(param.pool, mode, subbands)};
                        sbctest::StreamParams p{fs,   channels,    subbands, blk_len,
                                                mode, cfg.bitpool, method};
                        const auto path = dir / ("in-" + std::to_string(files.size()) + ".sbc");
                        testsupport::write_file(path, sbctest::encode_stream(
                                                          p, channels == 1 ? mono : stereo));
                        configs.push_back(cfg);
                        files.push_back({path, fs, channels});
                    }
                }
            }
        }
        const auto decoded = testsupport::decode_sbc_files(decoder, files, dir.path);
        for (size_t i = 0; i < configs.size(); ++i) {
            const Config& cfg = configs[i];
            const int32_t channels = files[i].channels;
            const auto& pcm = channels == 1 ? mono : stereo;
            const auto& d = decoded[i];
            ++streams;
            ASSERT_EQ(d.problem, "") << cfg.name();
            ASSERT_EQ(d.pcm.size(), pcm.size()) << cfg.name() << ": samples lost or added";
            const int32_t delay = testsupport::codec_delay(cfg.subbands);
            for (int32_t s = 0; s < SignalCount; ++s) {
                const double q = measure(static_cast<Signal>(s), pcm, d.pcm, channels, delay);
                if (q < worst[cfg.mode][s]) {
                    worst[cfg.mode][s] = q;
                    where[cfg.mode][s] = cfg.name();
                }
            }
        }
    }
    std::ostringstream table;
    table << decoder << (param.pool == Pool::Typical ? ", typical bitpool" : ", largest bitpool")
          << ", " << streams << " streams; worst SNR in dB over the grid (silence: -peak)\n";
    for (int32_t mode = 0; mode < 4; ++mode) {
        table << "  mode " << mode << ":";
        for (int32_t s = 0; s < SignalCount; ++s)
            table << " " << signal_names[s] << " " << std::fixed << std::setprecision(1)
                  << worst[mode][s];
        table << "\n";
        for (int32_t s = 0; s < SignalCount; ++s)
            table << "      " << signal_names[s] << " at " << where[mode][s] << "\n";
    }
    std::cout << table.str();
    RecordProperty("summary", table.str());
    const double* limit = param.pool == Pool::Typical ? thresholds.typical : thresholds.largest;
    for (int32_t mode = 0; mode < 4; ++mode)
        for (int32_t s = 0; s < SignalCount; ++s)
            EXPECT_GE(worst[mode][s], limit[s])
                << signal_names[s] << " mode " << mode << " at " << where[mode][s];
}

INSTANTIATE_TEST_SUITE_P(
    Grid, DecoderInterop,
    ::testing::Values(GridParam{"ffmpeg", Pool::Typical}, GridParam{"ffmpeg", Pool::Largest},
                      GridParam{"sbcdec", Pool::Typical}, GridParam{"sbcdec", Pool::Largest}),
    [](const auto& info) {
        return std::string(info.param.decoder) +
               (info.param.pool == Pool::Typical ? "TypicalBitpool" : "LargestBitpool");
    });

} // namespace
