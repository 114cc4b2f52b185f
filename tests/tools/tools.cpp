#include "tools.h"

#include "audiofile/audiofile.h"

#include <algorithm>
#include <cstring>

namespace toolstest {

std::string decode_binary() {
    return DECODE_BINARY;
}

std::string info_binary() {
    return INFO_BINARY;
}

ReadBack read_back(const std::filesystem::path& file) {
    ReadBack r;
    audiofile::AudioInfo info{};
    auto handle = audiofile::audio_open(file.c_str(), "r", info);
    if (!handle) return r;
    r.opened = true;
    r.channels = info.channels;
    r.rate = info.sampling_frequency;
    r.sample_type = info.sample_type;
    r.count_known = info.num_samples_known;
    r.count = info.num_samples;
    std::vector<double> frame(static_cast<size_t>(std::max(info.channels, 1)));
    while ((!r.count_known || static_cast<long long>(r.samples.size() / frame.size()) < r.count) &&
           audiofile::audio_read(frame, *handle) == 0)
        r.samples.insert(r.samples.end(), frame.begin(), frame.end());
    audiofile::audio_close(handle);
    return r;
}

long long header_count(const std::filesystem::path& file) {
    const std::string h = testsupport::read_file(file);
    const auto byte = [&](size_t at) -> uint32_t {
        return at < h.size() ? static_cast<uint8_t>(h[at]) : 0;
    };
    const auto be32 = [&](size_t at) {
        return byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    };
    const auto le32 = [&](size_t at) {
        return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24;
    };
    const auto per_frame = [](uint32_t channels) { return channels == 0 ? 1u : 2 * channels; };
    const auto known = [](uint32_t size, uint32_t per) {
        return size == 0xFFFFFFFF ? -1LL : static_cast<long long>(size / per);
    };
    if (h.compare(0, 4, "RIFF") == 0) return known(le32(40), per_frame(byte(22) | byte(23) << 8));
    if (h.compare(0, 4, ".snd") == 0) return known(be32(8), per_frame(be32(20)));
    if (h.compare(0, 4, "FORM") == 0) {
        const size_t comm = h.find("COMM");
        return comm == std::string::npos ? -1 : be32(comm + 10) == 0 ? -1 : be32(comm + 10);
    }
    if (h.size() >= 512) return le32(54 * 4) == 0 ? -1 : le32(54 * 4);
    return -1;
}

std::vector<int16_t> pcm16(const std::string& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::vector<float> float32(const std::string& bytes) {
    std::vector<float> out(bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

} // namespace toolstest
