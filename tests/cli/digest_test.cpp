// Locked output: the program's streams for a table of inputs and options, compared by SHA-256
// with the streams of the plain, unoptimised encoder they were first recorded from, in a single
// pass and on several threads. Any change of a rounding, a sum order or a bit of packing shows up
// here. The inputs are made in the test from integers only (no libm), so they are the same on
// every machine and build.
#include "process.h"
#include "wave_fixture.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

// About 1.5 s of a two-voice "music" signal at 24-bit resolution, interleaved: segments of
// tones, a chirp, noise bursts, silence and a loud passage that clips, with channel 1 sometimes
// equal to channel 0 (so joint stereo joins bands) and sometimes independent.
std::vector<int32_t> music24(int channels, int instants) {
    const auto tone = [](uint32_t phase) { // parabolic sine, ±2^23
        const int64_t y = static_cast<int16_t>(phase >> 16);
        return static_cast<int32_t>(4 * y * (32768 - (y < 0 ? -y : y)) >> 8);
    };
    uint32_t noise = 0x2545F491u;
    uint32_t p0 = 0, p1 = 0, chirp = 200000;
    std::vector<int32_t> out;
    for (int t = 0; t < instants; ++t) {
        noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
        const int32_t hiss = static_cast<int32_t>(noise >> 8) - (1 << 23);
        p0 += 2600000, p1 += 7100000, chirp += 40;
        const int segment = t / 4096 % 6;
        int32_t left = 0, right = 0;
        switch (segment) {
        case 0:
            left = tone(p0) / 2, right = tone(p1) / 3;
            break;
        case 1:
            left = right = tone(p0 += chirp) / 2;
            break;
        case 2:
            left = hiss / 4, right = tone(p1) / 4 + hiss / 8;
            break;
        case 3:
            break; // silence
        case 4:
            left = tone(p0) / 2 + tone(p1) / 2, right = left;
            break;
        default:
            left = tone(p0) + tone(p1), right = -left;
            break; // clips below
        }
        for (int32_t* v : {&left, &right})
            *v = *v > 8388607 ? 8388607 : *v < -8388608 ? -8388608 : *v;
        out.push_back(left);
        if (channels == 2) out.push_back(right);
    }
    return out;
}

// The signal as a WAVE file of `bits` 8, 16 or 24 bits, or 32 for IEEE float.
std::string music_wave(int bits, int channels, int rate) {
    const auto v = music24(channels, rate * 3 / 2);
    std::string data;
    switch (bits) {
    case 8:
        for (int32_t s : v) data += static_cast<char>((s >> 16) + 128);
        return wave_file(channels, rate, 8, data);
    case 16: {
        std::vector<int16_t> s16;
        for (int32_t s : v) s16.push_back(static_cast<int16_t>(s >> 8));
        return wave_file(channels, rate, 16, pcm16_le(s16));
    }
    case 24:
        return wave_file(channels, rate, 24, pcm24_le(v));
    default: {
        std::vector<float> f;
        for (int32_t s : v) f.push_back(static_cast<float>(s) / 8388608.0f);
        return wave_file(channels, rate, 32, float32_le(f), /*format_tag=*/3);
    }
    }
}

struct Locked {
    int bits; // 8, 16, 24; 32 = float
    int channels;
    int rate;
    std::vector<std::string> options;
    size_t bytes;
    const char* sha256;
};

// Every channel mode, both allocation methods, both band counts, every block length,
// every sampling frequency with LOUDNESS, mono and stereo, 8/16/24-bit and float sources; mSBC,
// bare and in H2 units; resampled up and down (-F) and converted for mSBC (-m), which holds the
// resampler's bits too.
// clang-format off
const std::vector<Locked> locked = {
    {16, 2, 44100, {}, 70176,
     "b2261e143573f878af1616099acfbd3b2a49d18716bf5b393b690fbdd8258506"},
    {16, 2, 44100, {"-j"}, 69660,
     "dbcf664dc5dcd14803116a10ce952d72aba959ed5c4493f0575d8986e7f3ae9b"},
    {16, 2, 44100, {"-s"}, 70176,
     "ceda8d8ba076f4947dcbe014675259dcfa86220bbf02b2682b699f94c1a3000b"},
    {16, 2, 44100, {"-j", "-p"}, 69660,
     "b6bb4afaf08041d762afbb65e586a18ac4f9c7f8f46338dabb99db3728336878"},
    {16, 2, 44100, {"-j", "-r", "512000"}, 95460,
     "fa549185318582be39f4bf9d301b74bca44d0d096c2fec65ac15593b2335e358"},
    {16, 2, 48000, {"-s", "-p", "-n", "4", "-l", "4"}, 67500,
     "fb24bbf7b7b83a54d99efc1c8c4241a975f8f73eee220ad4887aeb8db6d09f88"},
    {16, 2, 32000, {"-l", "8", "-n", "4", "-r", "200000"}, 36000,
     "6d540258e03901eebee9501df33b8aef4f1fc63cabf9e9eaf59842500bdef157"},
    {16, 2, 16000, {"-j", "-l", "12", "-r", "160000"}, 30000,
     "cc1c31df93ac0427ecfd91aed672bd9439cef65f8ceb5c9cd6f5259a2b2bf5ab"},
    {16, 2, 44100, {"-p", "-r", "120000"}, 20640,
     "3a983e4d98aa18e5c80ba3ca835a973a8a465058fb4a518f8b64d126d4532165"},
    {16, 1, 44100, {}, 70176,
     "96c60638107f734e8648cc885d55a63ffede4f8d6e6e2ea3f85ba8544d108f33"},
    {16, 1, 16000, {"-p", "-n", "4", "-l", "12", "-r", "96000"}, 18000,
     "5ea2e241d2022f6ab07b239173647fa0663a54e582efbf9468876d34098d5327"},
    {8, 2, 44100, {"-j", "-l", "4"}, 70278,
     "51f686fd6142c91acbeb610899a1f10ea0d0668ba1a520b45dd0e4032ce0942f"},
    {8, 1, 32000, {"-p", "-l", "8"}, 69750,
     "184d18e428114be89ed503ecceed27ceb18e83e4fd4cc138f55dfdd18d1b444a"},
    {24, 2, 48000, {"-s", "-l", "12"}, 69750,
     "da6603ae3f426fd18992478c4393a941f26b45123c802b91e37c87da0115a56a"},
    {24, 1, 44100, {"-n", "4"}, 70244,
     "fdddc5e2f3390b79ab3d953e8d27184eb41dc9273279d4d490498f7ff44a7d1c"},
    {32, 2, 44100, {"-j", "-n", "4", "-l", "8", "-p"}, 70278,
     "8727f4580f54da2b18beb21663ffca7cdc232fdbfda570e13e2c9abcb4a714d9"},
    {32, 1, 48000, {"-l", "4", "-r", "128000"}, 22500,
     "6483a153921a4d32357b6537f1459b263f96b30d750de31b805eef52cd6c1cc4"},
    {16, 1, 16000, {"-m"}, 11400,
     "559cf1737cbbbd18d17d05981defc10dd2059a87fb077498bd419e4681abf88f"},
    {16, 1, 16000, {"-m", "-H"}, 12000,
     "882999383f4aea2eebd8f8da3a6dd037b6090bb6e240b2f5863dc80a182f503a"},
    {16, 2, 96000, {"-F", "48000"}, 69688,
     "e25dc4a2919a8eef1a152581c5783bad6f0fd2b99c1b97ffe0b831551ed358cc"},
    {24, 2, 22050, {"-j", "-F", "44100"}, 69660,
     "666c1fc354d742408a5fb218bd58424be113dd67f443eef43094db16014a3e76"},
    {32, 1, 8000, {"-n", "4", "-F", "32000"}, 69000,
     "802bcda3e20147534d888d07ffd6b8720641628b8c657b70da190a96e1d0bf2d"},
    {16, 2, 44100, {"-m"}, 11400,
     "b635856da3b7e37d3c2487bf9612bb58102db4e5a27ad32bebf9c42546d6a592"},
    {24, 2, 48000, {"-m", "-H"}, 12000,
     "81d87b895b8d1d0ae4692cf370f850f9932dc0bc3bc703b71cb76965395403c5"},
};
// clang-format on

// The same bytes whatever the number of encoding threads (-T), a single pass included.
class LockedStreams : public testing::TestWithParam<const char*> {};

TEST_P(LockedStreams, EveryStreamIsTheRecordedOneByteForByte) {
    if (!have_program("sha256sum")) GTEST_SKIP() << "sha256sum is not installed";
    TempDir dir;
    for (const Locked& l : locked) {
        std::string label = std::to_string(l.bits) + "-bit " + std::to_string(l.channels) + "ch " +
                            std::to_string(l.rate) + " Hz -T " + GetParam();
        for (const auto& o : l.options) label += " " + o;
        write_file(dir / "in.wav", music_wave(l.bits, l.channels, l.rate));
        std::vector<std::string> args = {vantrel_binary(), "-T", GetParam()};
        args.insert(args.end(), l.options.begin(), l.options.end());
        args.insert(args.end(), {"-o", (dir / "out.sbc").string(), (dir / "in.wav").string()});
        const auto r = run_process(args);
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        const auto digest =
            run_process({"sha256sum", (dir / "out.sbc").string()}).out.substr(0, 64);
        const auto bytes = read_file(dir / "out.sbc").size();
        EXPECT_EQ(bytes, l.bytes) << label;
        EXPECT_EQ(digest, l.sha256) << label;
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, LockedStreams, testing::Values("1", "2", "3", "16"),
                         [](const auto& info) { return std::string("T") + info.param; });

} // namespace
