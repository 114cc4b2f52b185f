// The Sun, AIFF/AIFC, SPW and 512-byte-header readers on files built byte by byte: the fields
// each header gives, the refusals with their messages, and files cut short anywhere.
#include "audiofile/detect.h"
#include "container_fixture.h"
#include "fixtures.h"
#include "refusals.h"

#include <climits>
#include <cmath>
#include <functional>
#include <ostream>

using namespace audiofile;
using namespace testsupport;

namespace {

const std::string sun_error = "\nError reading SUN audio file";
const std::string aiff_error = "\nError reading AIFF/AIFC file";
const std::string spw_error = "\nError reading SPW file";
const std::string unknown = testsupport::not_recognized;

struct Expect {
    int channels, rate, samples, type, offset;
    std::string comment = "";
    int32_t marker = -32000, aux_1 = 0, aux_byte = 0, aux_high = 0;
    bool operator==(const Expect&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Expect& e) {
    return os << e.channels << " ch " << e.rate << " Hz " << e.samples << " frames type " << e.type
              << " at " << e.offset << " '" << e.comment << "' marker " << e.marker << " aux "
              << e.aux_1 << " " << e.aux_byte << " " << e.aux_high;
}

// A file and what opening it gives: the fields, or no handle and exactly `err`.
struct HeaderCase {
    const char* name;
    std::string bytes;
    std::string err;
    Expect e{};
};

std::string comm16(uint32_t frames = 1000, double rate = 44100) {
    return aiff_chunk("COMM", comm_fields(2, frames, 16, rate));
}
// FORM AIFF, COMM (16-bit stereo, 1000 frames), `middle`, SSND: data at 54 + middle's size.
std::string aiff16(const std::string& middle, uint32_t offset = 0) {
    return form("AIFF", comm16() + middle + ssnd("", offset));
}
std::string aifc(const std::string& type, const std::string& name, int bits) {
    return form("AIFC", aiff_chunk("FVER", be32(0xA2805140)) +
                            aiff_chunk("COMM", comm_fields(2, 1000, bits, 44100, type, name)) +
                            ssnd(""));
}
std::string h512(const std::function<void(H512Words&)>& change, bool big_endian = false,
                 const std::string& data = "") {
    H512Words w = h512_words(2, 16000, -32000, 1000);
    change(w);
    return h512_file(w, big_endian, data);
}
std::string with_prefix(std::string bytes, const std::string& prefix) {
    return bytes.replace(0, prefix.size(), prefix);
}

HeaderCase ok(const char* name, std::string bytes, Expect e) {
    return {name, std::move(bytes), "", std::move(e)};
}
HeaderCase fails(const char* name, std::string bytes, std::string err) {
    return {name, std::move(bytes), std::move(err), {}};
}

std::vector<HeaderCase> header_cases() {
    const auto none = [](H512Words&) {};
    const std::string spw = spw_header(16000, 48000, "Fixedpoint");
    return {
        ok("sun worked example", sun_file(3, 44100, 1, "", 88200), {1, 44100, 44100, 22, 24}),
        ok("sun odd annotation", sun_file(7, 8000, 1, "", 80, "abcde"), {1, 8000, 10, 26, 29}),
        ok("sun unknown size", sun_file(5, 8000, 2, std::string(80, 0), ~0u),
           {2, 8000, 10, 24, 24}),
        ok("sun above 512 MiB", sun_file(3, 8000, 2, "", 0xF0000000),
           {2, 8000, 0x3C000000, 22, 24}),
        fails("sun G.721", sun_file(23, 8000, 1, ""), "sun format: 23 not supported\n" + sun_error),
        fails("sun 0 channels", sun_file(3, 8000, 0, ""),
              "sun channels: 0 not supported\n" + sun_error),
        fails("sun header cut", sun_file(3, 8000, 1, "").substr(0, 21),
              "read_sun_header: file ends inside the 24-byte header\n" + sun_error),
        ok("aiff worked example", aiff16(""), {2, 44100, 1000, 3, 54}),
        ok("aiff comt pad", aiff16(aiff_chunk("COMT", be16(1) + comment_entry("hello"))),
           {2, 44100, 1000, 3, 78, "hello"}),
        ok("aiff comt cut to 255",
           aiff16(aiff_chunk("COMT", be16(1) + comment_entry(std::string(300, 'c')))),
           {2, 44100, 1000, 3, 372, std::string(255, 'c')}),
        ok("aiff comt two comments",
           aiff16(aiff_chunk("COMT", be16(2) + comment_entry("first") + comment_entry("second"))),
           {2, 44100, 1000, 3, 92, "first"}),
        ok("aiff comt none", aiff16(aiff_chunk("COMT", be16(0))), {2, 44100, 1000, 3, 64}),
        ok("aiff rate 22050.5", form("AIFF", comm16(1000, 22050.5) + ssnd("")),
           {2, 22050, 1000, 3, 54}),
        ok("aifc NONE", aifc("NONE", "not compressed", 16), {2, 44100, 1000, 8, 86}),
        ok("aifc fl32 16-bit", aifc("fl32", "IEEE 32-bit float", 16), {2, 44100, 1000, 27, 88}),
        ok("aifc fl64", aifc("fl64", "IEEE 64-bit float", 64), {2, 44100, 1000, 28, 88}),
        fails("aifc ima4", aifc("ima4", "IMA 4:1", 16),
              "aifc type ima4 format IMA 4:1 not supported\n" + aiff_error),
        fails("aiff 12-bit",
              form("AIFF", aiff_chunk("COMM", comm_fields(1, 9, 12, 8000)) + ssnd("")),
              "aiff format samplesize: 12 not supported\n" + aiff_error),
        fails("aiff ssnd without comm", form("AIFF", ssnd("")),
              "read_aiff_header: SSND chunk without a COMM chunk before it\n" + aiff_error),
        fails("aiff ssnd without form", aiff_chunk("NAME", "ab") + comm16() + ssnd(""),
              "read_aiff_header: SSND chunk without a FORM chunk of type AIFF or AIFC\n" +
                  aiff_error),
        fails("aiff ends before ssnd", form("AIFF", comm16()),
              "read_aiff_header: file ends before the SSND chunk\n" + aiff_error),
        fails("aiff unlisted chunk, record inexact", aiff16(aiff_chunk("LIST", "abcd")), unknown),
        ok("spw writer header", spw + "\x01\x02",
           {1, 16000, 48000, 11, static_cast<int>(spw.size()), "a comment\n"}),
        fails("spw other first token", "$SIGNAL_FILEX 9\n$DATA\n", unknown),
        ok("spw no data line", "$SIGNAL_FILE 9\nSignal Type = Float\n", {1, 0, 0, 12, 35}),
        ok("spw long, empty and overflowing lines",
           "$SIGNAL_FILE 9\n" + std::string(200, 'k') + " = " + std::string(200, 'v') +
               "\nSampling Frequency\nSignal Type = \nSampling Frequency = 48000\n"
               "Number of points = 99999999999999\nSignal Type = Integer\n$DATA\n",
           {1, 48000, INT32_MAX, 11, 542}),
        fails("spw without a signal type", "$SIGNAL_FILE 9\nSampling Frequency = 16000\n$DATA\n",
              "read_spw_header: no Signal Type line, the sample type is unknown\n" + spw_error),
        fails("spw cut mid-line", "$SIGNAL_FILE 9\nSampling Freq",
              "read_spw_header: file ends inside a header line\n" + spw_error),
        ok("h512 little-endian", h512(none), {2, 16000, 1000, 0, 512}),
        ok("h512 big-endian", h512(none, true), {2, 16000, 1000, 0, 512, "", 0x0083FFFF}),
        ok("h512 float32, rate 16e3",
           h512([](H512Words& w) { w[62] = -32002, w[60] = 3, w[61] = 16; }),
           {2, 16000, 1000, 13, 512, "", -32002}),
        ok("h512 float64 big-endian, rate 441000e-1",
           h512([](H512Words& w) { w[62] = -32004, w[60] = -1, w[61] = 441000; }, true),
           {2, 44100, 1000, 14, 512, "", static_cast<int32_t>(0xFC82FFFF)}),
        ok("h512 exponent 11, aux out of range, packed word",
           h512([](H512Words& w) { w[60] = 11, w[35] = INT32_MAX, w[36] = 1, w[65] = 0x007F8001; }),
           {2, 0, 1000, 0, 512, "", -32000, 0, -128, 127}),
        ok("h512 count from size",
           h512([](H512Words& w) { w[54] = 0; }, false, std::string(4096, 0)),
           {2, 16000, 1024, 0, 512}),
        fails("h512 channel byte 0xFF", h512([](H512Words& w) { w[65] = 0xFF; }),
              "512-byte header channels: 0 not supported\n" + unknown),
        fails("h512 cut", h512(none).substr(0, 300),
              "read_h512_header: file ends after 300 of the 512 header bytes\n" + unknown),
        ok("h512 after a refused FORM", with_prefix(h512(none), "FORM" + be32(99) + "8SVX"),
           {2, 16000, 1000, 0, 512}),
        ok("h512 after a refused SPW line", with_prefix(h512(none), "$SIGNAL_FI\n"),
           {2, 16000, 1000, 0, 512}),
    };
}

} // namespace

TEST(Containers, HeadersGiveTheirFieldsOrARefusalWithItsMessage) {
    for (const HeaderCase& c : header_cases()) {
        SCOPED_TRACE(c.name);
        auto o = aftest::open_bytes(c.bytes);
        if (!c.err.empty()) {
            EXPECT_EQ(o->file, nullptr);
            EXPECT_EQ(o->err, c.err);
            continue;
        }
        ASSERT_NE(o->file, nullptr) << o->err;
        const AudioInfo& i = o->info;
        EXPECT_EQ(
            (Expect{i.channels, i.sampling_frequency, i.num_samples, i.sample_type, i.data_offset,
                    i.comment.data(), i.byte_order_marker, i.aux_value_1, i.aux_byte, i.aux_high}),
            c.e);
    }
}

TEST(Containers, ExtendedNumbersConvertExactly) {
    // The leading bytes, then zeros up to 10 (appended, which also keeps g++ 12's -Wrestrict
    // false positive on "literal" + std::string away).
    const auto padded = [](const char* head) {
        std::string bytes(head);
        return bytes.append(10 - bytes.size(), '\0');
    };
    const std::vector<std::pair<std::string, double>> cases = {
        {padded("\x40\x0E\xAC\x44"), 44100.0},
        {padded("\x40\x0B\xFA"), 8000.0},
        {padded("\xC0\x0E\xAC\x44"), -44100.0},
        {extended(22050.5), 22050.5},
        {extended(1.0 / 3.0), 1.0 / 3.0},
        {std::string(10, 0), 0.0},
        {padded("\x80"), -0.0},
        {padded("\x7F\xFF\x12"), INFINITY},
        {padded("\xFF\xFF"), -INFINITY},
    };
    for (const auto& [bytes, value] : cases) {
        const double got = extended_to_double(
            std::span<const uint8_t, 10>(reinterpret_cast<const uint8_t*>(bytes.data()), 10));
        EXPECT_EQ(got, value);
        EXPECT_EQ(std::signbit(got), std::signbit(value));
    }
}

// Every prefix of a valid file of each container opens, or fails with a message; an opened one
// reads to its end.
TEST(Containers, EveryPrefixOfAFileOpensOrFailsWithAMessage) {
    const std::string pcm = pcm16_be({1, -1, 2, -2, 3, -3, 4, -4});
    const std::vector<std::string> files = {
        sun_file(3, 8000, 2, pcm, std::nullopt, "note"),
        form("AIFF", aiff_chunk("COMT", be16(1) + comment_entry("hi!")) + comm16(4) + ssnd(pcm, 2)),
        form("AIFC", aiff_chunk("COMM", comm_fields(2, 4, 32, 8000, "fl32", "float")) + ssnd(pcm)),
        spw_header(8000, 8, "Integer") + pcm,
        h512([](H512Words& w) { w[54] = 0; }, true, pcm),
    };
    for (const std::string& file : files) {
        for (size_t size = 0; size <= file.size(); ++size) {
            SCOPED_TRACE(file.substr(0, 4) + " cut to " + std::to_string(size));
            auto o = aftest::open_bytes(file.substr(0, size));
            if (o->file) {
                aftest::read_frames(*o->file, o->info.channels);
            } else {
                EXPECT_NE(o->err, "");
            }
            if (size == file.size()) {
                EXPECT_NE(o->file, nullptr) << o->err;
            }
        }
    }
}
