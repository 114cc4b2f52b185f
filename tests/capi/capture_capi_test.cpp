// The capture functions of the C interface against vantrel-info and vantrel-decode, and their
// refusals.
#include "capture_writer.h"
#include "process.h"
#include "vantrel/vantrel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;

template <class Struct> Struct sized() {
    Struct s{};
    s.struct_size = sizeof s;
    return s;
}

struct CaptureCloser {
    void operator()(vantrel_capture* c) const { vantrel_capture_close(c); }
};

const uint8_t* data_of(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(CaptureInterface, StreamsAndSamplesAreThoseOfThePrograms) {
    StandardOptions o;
    o.lost_a2dp_packets = {4, 9};
    o.lost_sco_packets = {7};
    const std::string bytes = write_capture(standard_capture(o).builder, CaptureFormat::pcap_h4);
    TempDir dir;
    write_file(dir / "c.pcap", bytes);
    vantrel_capture* raw = nullptr;
    ASSERT_EQ(vantrel_capture_open(data_of(bytes), bytes.size(), &raw), VANTREL_OK);
    const std::unique_ptr<vantrel_capture, CaptureCloser> c(raw);
    auto info = sized<vantrel_capture_info>();
    ASSERT_EQ(vantrel_capture_get_info(c.get(), &info), VANTREL_OK);
    EXPECT_EQ(info.format, 2);
    EXPECT_EQ(info.link_type, 201);
    ASSERT_EQ(info.streams, 6);
    const std::string report = run_process({VANTREL_INFO_BINARY, dir / "c.pcap"}).out;
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE("stream " + std::to_string(i));
        auto s = sized<vantrel_capture_stream>();
        ASSERT_EQ(vantrel_capture_get_stream(c.get(), i, &s), VANTREL_OK);
        const std::string line = "stream " + std::to_string(i) + ": ";
        const std::string counts = "frames " + std::to_string(s.frames) + ", ";
        EXPECT_NE(report.find(counts, report.find(line)), std::string::npos);
        EXPECT_EQ(s.kind, i < 2 ? VANTREL_CAPTURE_A2DP_SBC : VANTREL_CAPTURE_MSBC);
        std::vector<int16_t> pcm(static_cast<size_t>(s.values));
        size_t written = 0;
        ASSERT_EQ(vantrel_capture_decode(data_of(bytes), bytes.size(), i, pcm.data(), pcm.size(),
                                         &written),
                  VANTREL_OK);
        EXPECT_EQ(written, pcm.size());
        const auto program = run_process(
            {VANTREL_DECODE_BINARY, "-s", std::to_string(i), "-t", "raw", dir / "c.pcap"});
        EXPECT_EQ(program.out.size(), written * 2);
        EXPECT_EQ(program.out.compare(0, std::string::npos,
                                      reinterpret_cast<const char*>(pcm.data()), written * 2),
                  0);
    }
    auto past = sized<vantrel_capture_stream>();
    EXPECT_EQ(vantrel_capture_get_stream(c.get(), 6, &past), VANTREL_ERROR_NO_STREAM);
}

TEST(CaptureInterface, RefusalsSayWhatIsWrongAndWriteNothing) {
    const std::string bytes = write_capture(standard_capture().builder, CaptureFormat::btsnoop_h4);
    vantrel_capture* c = nullptr;
    const std::string sbc_stream("\x9c\xbf\x35\x00", 4);
    EXPECT_EQ(vantrel_capture_open(data_of(sbc_stream), sbc_stream.size(), &c),
              VANTREL_ERROR_NOT_A_CAPTURE);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(vantrel_capture_open(nullptr, 10, &c), VANTREL_ERROR_NULL_POINTER);
    std::vector<int16_t> pcm(100, 7);
    size_t written = 99;
    EXPECT_EQ(
        vantrel_capture_decode(data_of(bytes), bytes.size(), 0, pcm.data(), pcm.size(), &written),
        VANTREL_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(
        vantrel_capture_decode(data_of(bytes), bytes.size(), 17, pcm.data(), pcm.size(), &written),
        VANTREL_ERROR_NO_STREAM);
    ASSERT_EQ(vantrel_capture_open(data_of(bytes), bytes.size(), &c), VANTREL_OK);
    auto small = sized<vantrel_capture_stream>();
    small.struct_size = 4;
    EXPECT_EQ(vantrel_capture_get_stream(c, 0, &small), VANTREL_ERROR_BAD_STRUCT_SIZE);
    vantrel_capture_close(c);
    EXPECT_STRNE(vantrel_strerror(VANTREL_ERROR_NOT_A_CAPTURE), "unknown status");
}

} // namespace
