// G.711 µ-law and A-law in every container that stores them: all 256 codes of each law come back
// as the values of the standard expansion, from a file and through a pipe.
#include "audiofile/g711.h"
#include "container_fixture.h"
#include "fixtures.h"

using namespace audiofile;
using namespace testsupport;

namespace {

struct G711Case {
    const char* name;
    std::string bytes; // one channel at 8000 Hz holding the codes 0..255 in order
    std::int32_t type;
};

std::vector<G711Case> g711_cases() {
    std::string codes(256, '\0');
    for (int c = 0; c < 256; ++c) codes[static_cast<size_t>(c)] = static_cast<char>(c);
    const auto wave = [&](int tag) {
        return aftest::riff(aftest::chunk("fmt ", aftest::fmt_fields(tag, 1, 8000, 8)) +
                            aftest::chunk("data", codes));
    };
    const auto extensible = [&](int sub_tag) {
        std::string fmt = aftest::extensible_fmt(1, 8, 8, sub_tag);
        fmt.replace(12, 4, le32(8000));
        return aftest::riff(fmt + aftest::chunk("data", codes));
    };
    // Writers put 8 or 16 into the sample size of a G.711 AIFC file; it is not what counts.
    const auto aifc = [&](const char* type, int bits) {
        return form("AIFC", aiff_chunk("COMM", comm_fields(1, 256, bits, 8000, type, "G.711")) +
                                ssnd(codes));
    };
    return {
        {"WAVE tag 7", wave(7), ST_WAVE_MULAW},
        {"WAVE tag 6", wave(6), ST_WAVE_ALAW},
        {"extensible WAVE, mu-law", extensible(7), ST_WAVE_MULAW},
        {"extensible WAVE, A-law", extensible(6), ST_WAVE_ALAW},
        {"Sun encoding 1", sun_file(1, 8000, 1, codes), ST_SUN_MULAW},
        {"Sun encoding 27", sun_file(27, 8000, 1, codes), ST_SUN_ALAW},
        {"AIFC ulaw", aifc("ulaw", 16), ST_AIFC_MULAW},
        {"AIFC ULAW", aifc("ULAW", 8), ST_AIFC_MULAW},
        {"AIFC alaw", aifc("alaw", 16), ST_AIFC_ALAW},
        {"AIFC ALAW", aifc("ALAW", 8), ST_AIFC_ALAW},
    };
}

// What audiofile_dump prints for the codes 0..255 of `type`, up to its closing line.
std::string expected_dump(std::int32_t type) {
    const bool mulaw = type == ST_WAVE_MULAW || type == ST_SUN_MULAW || type == ST_AIFC_MULAW;
    std::string out =
        "channels 1 rate 8000 type " + std::to_string(type) + " samples 256 known 1\n";
    for (std::int16_t v : mulaw ? mulaw_values : alaw_values) out += std::to_string(v) + " \n";
    return out;
}

} // namespace

TEST(G711, EveryCodeOfBothLawsReadsAsItsTableValueInEveryContainerFromAFileAndAPipe) {
    // The table's landmarks, from G.711: the ends of each range and the codes of (nearly) zero.
    const std::vector<std::pair<int, int>> mulaw_marks = {
        {0x00, -32124}, {0x80, 32124}, {0x7F, 0}, {0xFF, 0}, {0x70, -120}, {0xF0, 120}};
    const std::vector<std::pair<int, int>> alaw_marks = {
        {0x2A, -32256}, {0xAA, 32256}, {0x55, -8}, {0xD5, 8}, {0x45, -264}, {0xC5, 264}};
    for (const auto& [code, value] : mulaw_marks) EXPECT_EQ(mulaw_values[code], value) << code;
    for (const auto& [code, value] : alaw_marks) EXPECT_EQ(alaw_values[code], value) << code;

    TempDir dir;
    for (const G711Case& c : g711_cases()) {
        SCOPED_TRACE(c.name);
        write_file(dir / "in", c.bytes);
        const std::string expected = expected_dump(c.type);
        const std::string from_file = aftest::dump((dir / "in").string()).second;
        const std::string from_pipe = aftest::dump("AUDIO_FROM_STDIN", c.bytes).second;
        EXPECT_EQ(from_file.substr(0, from_file.find("close")), expected);
        EXPECT_EQ(from_pipe.substr(0, from_pipe.find("close")), expected);
    }
}
