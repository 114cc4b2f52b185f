// Frame packing and CRC-8: complete worked frames, the CRC example, lengths, appending, and
// refusal when the frame would not fit.
#include "sbc/encode/pack.h"
#include "sbc_test_util.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using sbc::QuantizedRow;
using sbc::SubbandRow;
using sbctest::bytes_of;

struct FrameInput {
    SubbandRow join{};
    std::array<SubbandRow, 2> scale_factor{};
    std::array<QuantizedRow, 2> quantized{};
    std::array<SubbandRow, 2> bits{};
    uint8_t header_byte = 0;
    int32_t bitpool = 0;
    int32_t channels = 1;
    int32_t channel_mode = sbc::MONO;
    int32_t subbands = 4;
    int32_t blk_len = 4;

    int32_t pack(std::span<uint8_t> out, int32_t& out_len) const {
        return sbc::pack_frame(out, out_len, join, scale_factor, quantized, header_byte, bitpool,
                               channels, channel_mode, subbands, blk_len, bits);
    }
    std::string pack() const {
        std::vector<uint8_t> out(sbc::MAX_FRAME_LENGTH, 0xEE);
        int32_t len = 0;
        const int32_t n = pack(out, len);
        EXPECT_EQ(n, len);
        return n < 0 ? std::string() : std::string(out.begin(), out.begin() + n);
    }
};

// MONO, 16 kHz, 4 blocks, SNR, 4 subbands, bitpool 3: one 3-bit subband.
FrameInput mono_example() {
    FrameInput f;
    f.header_byte = 0x02;
    f.bitpool = 3;
    f.scale_factor[0] = {1, 0, 0, 0};
    f.bits[0] = {3, 0, 0, 0};
    const std::array<int32_t, 4> values = {5, 2, 7, 0};
    for (int b = 0; b < 4; ++b) f.quantized[0][b * 4] = values[b];
    return f;
}

// JOINT_STEREO, 44.1 kHz, 4 blocks, SNR, 4 subbands, bitpool 5, subband 0 joined.
FrameInput joint_example() {
    FrameInput f;
    f.header_byte = 0x8E;
    f.bitpool = 5;
    f.channels = 2;
    f.channel_mode = sbc::JOINT_STEREO;
    f.join = {1, 0, 0, 0};
    f.scale_factor = {{{2, 1, 0, 0}, {1, 0, 0, 0}}};
    f.bits = {{{3, 0, 0, 0}, {2, 0, 0, 0}}};
    for (int b = 0; b < 4; ++b) {
        f.quantized[0][b * 4] = 1;
        f.quantized[1][b * 4] = 3;
    }
    return f;
}

TEST(PackFrame, MonoWorkedFrameIsBitExactWithZeroPadding) {
    EXPECT_EQ(sbctest::hex(mono_example().pack()),
              sbctest::hex(bytes_of("9C 02 03 77 10 00 AB 80")));
}

TEST(PackFrame, JointStereoWorkedFrameCarriesJoinFlagsAndEndsOnAByte) {
    EXPECT_EQ(sbctest::hex(joint_example().pack()),
              sbctest::hex(bytes_of("9C 8E 05 A3 82 10 01 00 03 9C E7")));
}

TEST(PackFrame, CrcCoversHeaderBitpoolJoinFlagsAndScaleFactors) {
    int32_t crc = 0x0F;
    sbc::crc_len08(0xBF, 8, crc);
    sbc::crc_len08(61, 8, crc);
    for (int i = 0; i < 8; ++i) sbc::crc_len08(0, 1, crc);
    for (int i = 0; i < 16; ++i) sbc::crc_len08(0, 4, crc);
    EXPECT_EQ(crc, 0x27);

    FrameInput f;
    f.header_byte = 0xBF;
    f.bitpool = 61;
    f.channels = 2;
    f.channel_mode = sbc::JOINT_STEREO;
    f.subbands = 8;
    f.blk_len = 16;
    const std::string frame = f.pack();
    ASSERT_EQ(frame.size(), 13u); // no sample bits: header, 8 join flags, 16 scale factors
    EXPECT_EQ(static_cast<uint8_t>(frame[3]), 0x27);
    // Samples do not enter the CRC.
    f.bits = {{{16}, {16}}};
    f.quantized[0].fill(0xABCD);
    EXPECT_EQ(static_cast<uint8_t>(f.pack()[3]), 0x27);
}

TEST(PackFrame, EmptyBitpoolLeavesHeaderAndScaleFactorsOnly) {
    FrameInput mono;
    EXPECT_EQ(mono.pack().size(), 6u);
    FrameInput stereo = joint_example();
    stereo.channel_mode = sbc::STEREO;
    stereo.bits = {};
    stereo.scale_factor = {{{15, 0, 0, 0}, {0, 0, 0, 0}}};
    const std::string frame = stereo.pack();
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(frame[4]), 0xF0); // no join flags outside JOINT_STEREO
}

TEST(PackFrame, AppendsAtTheCountAndLeavesEarlierBytesAlone) {
    std::vector<uint8_t> out(40, 0x55);
    int32_t len = 3;
    ASSERT_EQ(mono_example().pack(out, len), 8);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "\x55\x55\x55");
    EXPECT_EQ(sbctest::hex(std::string(out.begin() + 3, out.begin() + 11)),
              sbctest::hex(bytes_of("9C 02 03 77 10 00 AB 80")));
    EXPECT_EQ(out[11], 0x55);
    // Stale bytes at the same place never leak into a new frame.
    std::fill(out.begin(), out.end(), 0xFF);
    len = 0;
    ASSERT_EQ(mono_example().pack(out, len), 8);
    EXPECT_EQ(sbctest::hex(std::string(out.begin(), out.begin() + 8)),
              sbctest::hex(bytes_of("9C 02 03 77 10 00 AB 80")));
}

TEST(PackFrame, RefusesAFrameThatDoesNotFitAndWritesNothing) {
    std::vector<uint8_t> out(12, 0x55);
    int32_t len = 5; // 7 bytes left, the frame needs 8
    EXPECT_EQ(mono_example().pack(out, len), -1);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(out, std::vector<uint8_t>(12, 0x55));
    len = -1;
    EXPECT_EQ(mono_example().pack(out, len), -1);
    FrameInput bad = mono_example();
    bad.bits[0][1] = 17;
    len = 0;
    EXPECT_EQ(bad.pack(out, len), -1);
}

TEST(PutBits, FillsBytesMostSignificantBitFirstAndStopsAtTheEnd) {
    std::array<uint8_t, 2> frame = {0xFF, 0xFF};
    sbc::BitPosition pos{0, 7};
    sbc::put_bits(0b101, frame, 3, pos);
    sbc::put_bits(0x1FF, frame, 0, pos);    // nothing
    sbc::put_bits(0xFFFFF, frame, 20, pos); // runs off the end: the last 7 bits are dropped
    EXPECT_EQ(frame[0], 0xBF);
    EXPECT_EQ(frame[1], 0xFF);
    EXPECT_EQ(pos.byte_index, 2);
}

// A small deterministic generator for the random frames below.
struct Random {
    uint32_t x;
    uint32_t next() { return (x = x * 1103515245u + 12345u) >> 8; }
    int32_t below(uint32_t n) { return static_cast<int32_t>(next() % n); }
};

// A random frame shape and header; every mode of its channel count, both methods, all lengths
// (mSBC's 15 blocks and sync word too).
void random_shape(Random& r, int32_t trial, sbc::EncoderState& s) {
    constexpr int32_t lengths[] = {4, 8, 12, 15, 16};
    s.channels = 1 + trial % 2;
    s.channel_mode = s.channels == 1 ? sbc::MONO : 1 + r.below(3);
    s.subbands = trial % 4 < 2 ? 4 : 8;
    s.blk_len = lengths[r.below(5)];
    s.sync_byte = r.below(2) == 0 ? 0x9C : 0xAD;
    s.header_byte = static_cast<uint8_t>(r.next());
    s.bitpool = r.below(256);
    s.bitpool_byte = static_cast<uint8_t>(r.next());
}

// Bits of 0 .. top for every band, top itself random (so narrow and wide frames, totals per
// block from 0 to 256 bits, and chunks of every size and count, all occur); returns bits per
// block.
int32_t random_bits(Random& r, const sbc::EncoderState& s, std::array<SubbandRow, 2>& bits) {
    const int32_t top = r.below(17);
    int32_t per_block = 0;
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t sb = 0; sb < s.subbands; ++sb) per_block += bits[ch][sb] = r.below(top + 1);
    return per_block;
}

// The frame written into the first `length` bytes of a longer buffer, whose bytes after the
// frame must come out as they went in (the vector paths store whole words past their bits).
std::vector<uint8_t> frame_on(sbc::PackPath path, const sbc::EncoderState& s, const FrameInput& in,
                              size_t length) {
    std::vector<uint8_t> frame(length + 32, static_cast<uint8_t>(path));
    const int32_t n = sbc::write_frame_on(path, std::span(frame).first(length), s, in.join,
                                          in.scale_factor, in.quantized, in.bits);
    EXPECT_EQ(n, static_cast<int32_t>(length));
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + static_cast<ptrdiff_t>(length), frame.end()),
              std::vector<uint8_t>(32, static_cast<uint8_t>(path)))
        << "a byte past the frame changed";
    frame.resize(length);
    return frame;
}

} // namespace

// Every vector path writes the bytes of the one-band-at-a-time path for every frame shape, with
// random widths and values wider than their widths (whose extra bits all paths drop).
TEST(PackFrame, EveryPathWritesTheSameBytes) {
    Random r{12345};
    for (sbc::PackPath path : {sbc::PackPath::avx2, sbc::PackPath::avx512}) {
        if (!sbc::pack_path_available(path)) continue;
        for (int32_t trial = 0; trial < 4000; ++trial) {
            sbc::EncoderState s;
            random_shape(r, trial, s);
            FrameInput in;
            const int32_t per_block = random_bits(r, s, in.bits);
            for (int32_t ch = 0; ch < s.channels; ++ch) {
                for (int32_t sb = 0; sb < s.subbands; ++sb) {
                    in.join[sb] = r.below(2);
                    in.scale_factor[ch][sb] = r.below(16);
                }
                for (int32_t& q : in.quantized[ch]) q = static_cast<int32_t>(r.next() << 8);
            }
            const auto length = static_cast<size_t>(
                sbc::frame_bytes(s.channel_mode, s.channels, s.subbands, per_block * s.blk_len));
            ASSERT_EQ(frame_on(path, s, in, length), frame_on(sbc::PackPath::scalar, s, in, length))
                << "path " << static_cast<int>(path) << ", trial " << trial;
        }
    }
}
