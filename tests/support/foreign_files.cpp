#include "foreign_files.h"

#include "process.h"

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

struct ForeignKind {
    const char* name;
    int format;
    int rate;
    bool declares_length;
    bool lossless;
};

constexpr ForeignKind foreign_kinds[] = {
    {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, true, true},
    {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, false, false},
    {"opus.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, false, false},
    {"layer3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, false, false},
    {"pcm16.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 44100, true, true},
    {"pcm16.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 44100, true, true},
    {"alac16.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 44100, true, true},
};

std::size_t byte_at(const std::string& b, std::size_t at) {
    return at < b.size() ? static_cast<unsigned char>(b[at]) : 0;
}

// FLAC: "fLaC", then metadata blocks (a flag for the last one, a 24-bit length) before frames.
std::size_t flac_audio(const std::string& b) {
    std::size_t at = 4;
    for (bool last = false; !last && at < b.size();) {
        last = (byte_at(b, at) & 0x80) != 0;
        at += 4 + (byte_at(b, at + 1) << 16 | byte_at(b, at + 2) << 8 | byte_at(b, at + 3));
    }
    return at;
}

// Ogg: the page that ends the header packets (Vorbis 3, Opus 2) ends the header. A page is 27
// bytes, a segment table, and segments; a segment shorter than 255 ends a packet.
std::size_t ogg_audio(const std::string& b, int header_packets) {
    std::size_t at = 0;
    for (int packets = 0; packets < header_packets && at + 27 <= b.size();) {
        const std::size_t segments = byte_at(b, at + 26);
        std::size_t body = 0;
        for (std::size_t s = 0; s < segments; ++s) {
            const std::size_t lacing = byte_at(b, at + 27 + s);
            body += lacing;
            if (lacing < 255) ++packets;
        }
        at += 27 + segments + body;
    }
    return at;
}

// MP3: an ID3v2 tag (its 28-bit size after 10 bytes), then the first frame, which libsndfile's
// writer makes the Xing/Info frame: the header ends with it. A Layer III frame holds
// 144 (MPEG-1) or 72 (MPEG-2, 2.5) bytes per kbit/s per kHz, and a padding byte.
std::size_t mp3_audio(const std::string& b) {
    constexpr int kbits[2][16] = {
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    constexpr int rates[3] = {44100, 48000, 32000};
    std::size_t at = 0;
    if (b.compare(0, 3, "ID3") == 0)
        at = 10 + (byte_at(b, 6) << 21 | byte_at(b, 7) << 14 | byte_at(b, 8) << 7 | byte_at(b, 9));
    const std::size_t version = byte_at(b, at + 1) >> 3 & 3, mpeg2 = version == 3 ? 0 : 1;
    const std::size_t rate =
        static_cast<std::size_t>(rates[std::min<std::size_t>(byte_at(b, at + 2) >> 2 & 3, 2)]) >>
        (version == 3   ? 0
         : version == 2 ? 1
                        : 2);
    const std::size_t kbit = static_cast<std::size_t>(kbits[mpeg2][byte_at(b, at + 2) >> 4]);
    return at + (mpeg2 ? 72 : 144) * kbit * 1000 / rate + (byte_at(b, at + 2) >> 1 & 1);
}

// W64 and CAF: the body of the data chunk (after CAF's 4-byte edit count).
std::size_t chunk_audio(const std::string& b, bool w64) {
    const std::size_t data = w64 ? b.find("data\xF3\xAC\xD3\x11") : b.find("data", 8);
    if (data == std::string::npos) return b.size();
    return data + (w64 ? 24 : 12 + 4);
}

std::size_t audio_at(const ForeignKind& kind, const std::string& b) {
    switch (kind.format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC:
        return flac_audio(b);
    case SF_FORMAT_OGG:
        return ogg_audio(b, (kind.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS ? 2 : 3);
    case SF_FORMAT_MPEG:
        return mp3_audio(b);
    default:
        return chunk_audio(b, (kind.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_W64);
    }
}

} // namespace

std::string written_by_libsndfile(const char* name, int format, int rate, int channels,
                                  const std::vector<short>& pcm) {
    TempDir dir;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    const auto path = dir / name;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error(std::string("cannot write ") + name);
    sf_writef_short(file, pcm.data(), static_cast<sf_count_t>(pcm.size()) / channels);
    sf_close(file);
    return read_file(path);
}

std::vector<ForeignFile> foreign_files(int frames) {
    std::vector<ForeignFile> files;
    for (const ForeignKind& kind : foreign_kinds) {
        std::vector<short> pcm;
        for (int t = 0; t < frames; ++t)
            for (int c = 0; c < 2; ++c)
                pcm.push_back(static_cast<short>(std::lround(
                    32767 * (0.4 * std::sin(2 * M_PI * 440.0 * (c + 1) * t / kind.rate) +
                             0.2 * std::sin(2 * M_PI * 3000.0 * t / kind.rate)))));
        std::string bytes = written_by_libsndfile(kind.name, kind.format, kind.rate, 2, pcm);
        const std::size_t at = audio_at(kind, bytes);
        files.push_back({kind.name, std::move(bytes), at, kind.declares_length, kind.lossless});
    }
    return files;
}

std::string alac_in_caf(const std::vector<int16_t>& stereo) {
    return written_by_libsndfile("alac.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 44100, 2,
                                 std::vector<short>(stereo.begin(), stereo.end()));
}

} // namespace testsupport
