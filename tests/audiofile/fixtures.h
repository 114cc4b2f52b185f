// Test fixtures for the audio file library: WAVE files built from readable parts, and opening
// them with standard error captured.
//
//   riff(chunk("fmt ", fmt_fields(1, 2, 44100, 16)) + chunk("data", pcm16_le({1, -1})))
#pragma once

#include "audiofile/audiofile.h"
#include "process.h"
#include "wave_fixture.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace aftest {

using testsupport::le16;
using testsupport::le32;

// id, little-endian length (the body's unless given), body, pad byte when the body is odd.
inline std::string chunk(const std::string& id, const std::string& body,
                         std::optional<uint32_t> length = std::nullopt) {
    const std::string pad = body.size() % 2 == 1 ? std::string(1, '\0') : std::string();
    return id + le32(length.value_or(static_cast<uint32_t>(body.size()))) + body + pad;
}

// The 16 field bytes of a "fmt " chunk.
inline std::string fmt_fields(int tag, int channels, int rate, int bits) {
    const int align = channels * bits / 8;
    return le16(static_cast<uint16_t>(tag)) + le16(static_cast<uint16_t>(channels)) +
           le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate * align)) +
           le16(static_cast<uint16_t>(align)) + le16(static_cast<uint16_t>(bits));
}

inline std::string riff(const std::string& chunks, const std::string& form = "WAVE") {
    return "RIFF" + le32(static_cast<uint32_t>(4 + chunks.size())) + form + chunks;
}

// A 44100 Hz "fmt " chunk of the extensible format: `bits` per slot, `valid` bits, the
// sub-format GUID of `sub_tag` with the standard suffix.
inline std::string extensible_fmt(int channels, int bits, int valid, int sub_tag) {
    return chunk("fmt ", fmt_fields(0xFFFE, channels, 44100, bits) + le16(22) +
                             le16(static_cast<uint16_t>(valid)) + le32(3) +
                             le16(static_cast<uint16_t>(sub_tag)) +
                             std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14));
}

// An RF64 (or BW64) file: "ds64" with `data_size` first, then `chunks`.
inline std::string rf64(const std::string& chunks, uint64_t data_size,
                        const std::string& magic = "RF64") {
    return magic + le32(~0u) + "WAVE" +
           chunk("ds64", std::string(8, 0) + le32(static_cast<uint32_t>(data_size)) +
                             le32(static_cast<uint32_t>(data_size >> 32)) + std::string(12, 0)) +
           chunks;
}

// An opened file with everything the open printed; `info` lives as long as the handle.
struct Opened {
    testsupport::TempDir dir;
    audiofile::AudioInfo info{};
    std::unique_ptr<audiofile::AudioFile> file;
    std::string err;
};

// Opens `path` with standard error captured.
inline void open_captured(Opened& o, const std::string& path, const char* mode = "r") {
    testing::internal::CaptureStderr();
    o.file = audiofile::audio_open(path.c_str(), mode, o.info);
    o.err = testing::internal::GetCapturedStderr();
}

// Writes `bytes` to a fresh file and opens it.
inline std::unique_ptr<Opened> open_bytes(const std::string& bytes, const char* mode = "r") {
    auto o = std::make_unique<Opened>();
    testsupport::write_file(o->dir / "in.wav", bytes);
    open_captured(*o, (o->dir / "in.wav").string(), mode);
    return o;
}

// Every frame up to the end of the data (at most `limit`), one vector per frame.
inline std::vector<std::vector<double>> read_frames(audiofile::AudioFile& file, int channels,
                                                    size_t limit = 1000) {
    std::vector<std::vector<double>> frames;
    std::vector<double> values(static_cast<size_t>(channels));
    while (frames.size() < limit && audiofile::audio_read(values, file) == 0)
        frames.push_back(values);
    return frames;
}

// The output of the audiofile_dump helper for `path` (a file, or "AUDIO_FROM_STDIN" fed with
// `input`), with the first line (the data offset, which a pipe cannot tell) split off.
inline std::pair<std::string, std::string> dump(const std::string& path,
                                                const std::string& input = {}) {
    const auto r = testsupport::run_process({AUDIOFILE_DUMP, path}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    const size_t eol = r.out.find('\n');
    return {r.out.substr(0, eol), r.out.substr(eol + 1)};
}

} // namespace aftest
