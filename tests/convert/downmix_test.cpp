// The downmix of 3 to 8 channels through the conversion stage: each channel's gain into left and
// right against the table the README documents, a full-scale input that never leaves the 16-bit
// range for any layout, and the same doubles however the input is cut and on however many
// threads.
#include "convert/conversion.h"
#include "convert/downmix.h"

#include <bit>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace downmix_stage {

struct Gains {
    double left, right;
};

// Everything the stage makes of `in` (interleaved, `setup.from_channels` each), given `piece`
// instants at a time, then drained.
std::vector<double> convert_all(const convert::ConversionSetup& setup,
                                const std::vector<double>& in, size_t piece) {
    const char* error = nullptr;
    auto c = convert::conversion_create(setup, error);
    EXPECT_TRUE(c) << error;
    if (!c) return {};
    const auto from = static_cast<size_t>(setup.from_channels);
    std::vector<double> out, room(8192);
    for (size_t at = 0; at < in.size() || convert::conversion_holds(*c);) {
        const auto given = std::span(in).subspan(at, std::min(piece * from, in.size() - at));
        const auto step = convert::conversion_process(*c, given, room);
        out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(step.made));
        at += step.taken;
    }
    for (size_t made; (made = convert::conversion_drain(*c, room)) > 0;)
        out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
    return out;
}

// Each channel's gain into left and right, from one instant per channel that holds a value in
// that channel alone.
std::vector<Gains> measured_gains(int channels, uint32_t mask) {
    const double unit = 16384;
    std::vector<double> in;
    for (int k = 0; k < channels; ++k)
        for (int c = 0; c < channels; ++c) in.push_back(c == k ? unit : 0);
    const auto out = convert_all({48000, 48000, channels, 2, 1.0, 1, mask}, in, 4096);
    std::vector<Gains> gains;
    for (size_t k = 0; k + 1 < out.size(); k += 2)
        gains.push_back({out[k] / unit, out[k + 1] / unit});
    return gains;
}

} // namespace downmix_stage

using namespace downmix_stage;

// The README's table, channel by channel in the order of the mask's bits.
TEST(Downmix, EachLayoutGivesTheDocumentedGains) {
    constexpr double t1 = 0.5858, t2 = 0.4142;              // 3.0, quad: over 1 + 1/√2
    constexpr double f1 = 0.4142, f2 = 0.2929;              // 5.0, 5.1: over 1 + √2
    constexpr double b1 = 0.3431, b2 = 0.2426, b3 = 0.1716; // 6.1: over 1.5 + √2
    constexpr double s1 = 0.3204, s2 = 0.2265;              // 7.1: over 1 + 3/√2
    struct Case {
        const char* layout;
        int channels;
        uint32_t mask;
        std::vector<Gains> gains;
    };
    const std::vector<Gains> first_two = {{1, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
    const std::vector<Case> cases = {
        {"3.0", 3, 0x7, {{t1, 0}, {0, t1}, {t2, t2}}},
        {"quad", 4, 0x33, {{t1, 0}, {0, t1}, {t2, 0}, {0, t2}}},
        {"5.0", 5, 0x37, {{f1, 0}, {0, f1}, {f2, f2}, {f2, 0}, {0, f2}}},
        {"5.1", 6, 0x3F, {{f1, 0}, {0, f1}, {f2, f2}, {0, 0}, {f2, 0}, {0, f2}}},
        {"5.1 side", 6, 0x60F, {{f1, 0}, {0, f1}, {f2, f2}, {0, 0}, {f2, 0}, {0, f2}}},
        {"6.1", 7, 0x70F, {{b1, 0}, {0, b1}, {b2, b2}, {0, 0}, {b3, b3}, {b2, 0}, {0, b2}}},
        {"7.1", 8, 0x63F, {{s1, 0}, {0, s1}, {s2, s2}, {0, 0}, {s2, 0}, {0, s2}, {s2, 0}, {0, s2}}},
        // Not known: the first two channels as they are.
        {"no mask", 6, 0, first_two},
        {"5 speakers for 6 channels", 6, 0x37, first_two},
        {"a top speaker", 6, 0x81F, first_two},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        const auto gains = measured_gains(c.channels, c.mask);
        ASSERT_EQ(gains.size(), c.gains.size());
        for (size_t k = 0; k < gains.size(); ++k) {
            EXPECT_NEAR(gains[k].left, c.gains[k].left, 5e-5) << "channel " << k;
            EXPECT_NEAR(gains[k].right, c.gains[k].right, 5e-5) << "channel " << k;
        }
    }
}

// Every known layout of 3 to 8 speakers: full scale in every channel at once stays within the
// 16-bit range, and the louder side reaches full scale (the matrix is scaled to it, no further).
TEST(Downmix, FullScaleNeverLeavesTheSixteenBitRange) {
    for (uint32_t mask = 1; mask <= convert::KNOWN_SPEAKERS; ++mask) {
        const int channels = std::popcount(mask);
        if (channels < 3 || channels > 8) continue;
        std::vector<double> in(static_cast<size_t>(channels), 32767);
        in.insert(in.end(), static_cast<size_t>(channels), -32768);
        const auto out = convert_all({44100, 44100, channels, 2, 1.0, 1, mask}, in, 4096);
        ASSERT_EQ(out.size(), 4u) << mask;
        EXPECT_LT(std::max(out[0], out[1]), 32768) << mask;
        EXPECT_GT(std::min(out[2], out[3]), -32769) << mask;
        EXPECT_NEAR(std::max(out[0], out[1]), 32767, 1e-9) << mask;
    }
}

// The stage's promise holds with the downmix in it: 7.1 at 44100 Hz to 16000 Hz mono and to
// 32000 Hz stereo give the same doubles in pieces of any size and with a second thread.
TEST(Downmix, SameDoublesHoweverTheInputIsCut) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(-1, 1);
    std::vector<double> in(8 * 20000);
    for (double& v : in) v = value(random);
    for (const int to_channels : {1, 2}) {
        const convert::ConversionSetup one{
            44100, to_channels == 1 ? 16000 : 32000, 8, to_channels, 32768.0, 1, 0x63F};
        convert::ConversionSetup two = one;
        two.threads = 2;
        const auto whole = convert_all(one, in, 4096);
        EXPECT_EQ(whole.size(),
                  static_cast<size_t>(convert::resampled_length(20000, 44100, one.to_rate) *
                                      to_channels));
        EXPECT_EQ(convert_all(one, in, 1), whole);
        EXPECT_EQ(convert_all(one, in, 333), whole);
        EXPECT_EQ(convert_all(two, in, 1000), whole);
    }
}
