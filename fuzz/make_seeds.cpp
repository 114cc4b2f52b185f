// Writes the fuzzers' seed corpora: one small valid file of every container and sample width,
// from the library's own writers, as it is for audio_file_fuzz (with the WAVE forms of today's
// tools besides: skipped chunks, extensible, RF64), behind a few option prefixes
// for encode_fuzz, as parameters plus PCM for encoder_fuzz, as SBC and mSBC streams of the
// library's encoder for decoder_fuzz, and as those streams behind a control byte (container,
// float samples, pieces), in H2 units and damaged, for decode_fuzz and capi_decode_fuzz.
// audio_file_fuzz also gets the containers that libsndfile decodes for the library (FLAC, Ogg
// Vorbis and Opus, MP3, W64, CAF, ALAC), written by libsndfile itself, and foreign_pipe_fuzz
// gets them whole, cut and flipped.
//
// capture_fuzz gets the test captures (capture_writer.h) of every format and link type behind
// a piece-size byte, l2cap_fuzz the ACL packets of one as its control-byte records.
//
//   make_seeds DIR    ->  DIR/audio_file_fuzz/*, DIR/foreign_pipe_fuzz/*, DIR/encode_fuzz/*,
//                         DIR/encoder_fuzz/*, DIR/decoder_fuzz/*, DIR/decode_fuzz/*,
//                         DIR/capi_decode_fuzz/*, DIR/capture_fuzz/*, DIR/l2cap_fuzz/*
#include "capture_writer.h"
#include "foreign_files.h"
#include "process.h"
#include "sample_files.h"
#include "sbc/sbc.h"
#include "wave_fixture.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string word(int32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return out;
}

// encode_fuzz's option prefix: channel mode, blk_len, subbands, allocation (6: mSBC), bit rate.
std::string options(int32_t mode, int32_t blk_index, int32_t subband_index, int32_t snr,
                    int32_t rate) {
    return word(mode) + word(blk_index) + word(subband_index) + word(snr) + word(rate);
}

// Three frames of `pcm` (interleaved, enough for them) from the library's encoder.
std::string sbc_frames(const std::string& pcm, int32_t frequency, int32_t channels,
                       int32_t subbands, int32_t blocks, int32_t mode, int32_t bitpool,
                       int32_t method) {
    auto encoder = sbc::encoder_create(frequency, channels, subbands, blocks);
    if (!encoder || sbc::encoder_configure(*encoder, mode, bitpool, method) != 0) return {};
    std::string out;
    const size_t values = static_cast<size_t>(subbands * blocks * channels);
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> frame{};
    for (int i = 0; i < 3 && (i + 1) * values * 2 <= pcm.size(); ++i) {
        std::vector<int16_t> samples(values);
        std::memcpy(samples.data(), pcm.data() + i * values * 2, values * 2);
        int32_t length = 0;
        sbc::encoder_encode_frame(*encoder, samples, frame, length);
        out.append(reinterpret_cast<const char*>(frame.data()), static_cast<size_t>(length));
    }
    sbc::encoder_destroy(std::move(encoder));
    return out;
}

// mSBC frames: a 16 kHz, 15-block frame has no SBC header, so these are noise after the mSBC
// header with the CRC byte that makes each one check out.
std::string msbc_frames(const std::string& noise) {
    std::string out;
    for (size_t at = 0; at + sbc::MSBC_FRAME_LENGTH - 4 <= noise.size() && out.size() < 3 * 57;
         at += sbc::MSBC_FRAME_LENGTH) {
        std::string frame =
            std::string("\xAD\x00\x00\x00", 4) + noise.substr(at, sbc::MSBC_FRAME_LENGTH - 4);
        sbc::FrameHeader h;
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
        sbc::frame_header_parse({bytes, frame.size()}, h);
        for (int crc = 0; crc < 256 && !sbc::frame_crc_ok({bytes, frame.size()}, h); ++crc)
            frame[3] = static_cast<char>(crc);
        out += frame;
    }
    return out;
}

// The WAVE forms today's tools write, around the 16-bit stereo samples `pcm`: chunks the reader
// skips (LIST, bext, an odd-length one), the extensible format with 24 valid bits in 32-bit
// slots, RF64 with its ds64 chunk, and µ-law (the bytes of `pcm` as G.711 codes).
std::vector<std::pair<std::string, std::string>> wave_forms(const std::string& pcm) {
    using testsupport::le16;
    using testsupport::le32;
    const auto chunk = [](const std::string& id, const std::string& body) {
        return id + le32(static_cast<uint32_t>(body.size())) + body +
               std::string(body.size() % 2, '\0');
    };
    const auto fmt = [](uint16_t tag, uint16_t bits) {
        const uint16_t align = static_cast<uint16_t>(2 * bits / 8);
        return le16(tag) + le16(2) + le32(44100) + le32(44100u * align) + le16(align) + le16(bits);
    };
    const auto riff = [](const std::string& magic, const std::string& chunks) {
        return magic + le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
    };
    std::string pcm32;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) pcm32 += std::string(2, '\0') + pcm.substr(i, 2);
    const std::string guid_pcm("\1\0\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 16);
    const std::string size64 = le32(static_cast<uint32_t>(pcm.size())) + le32(0);
    return {
        {"wave_list_bext.wav",
         riff("RIFF", chunk("LIST", "INFOISFT" + le32(5) + "tool\0") + chunk("fmt ", fmt(1, 16)) +
                          chunk("bext", std::string(602, '\0')) + chunk("id3 ", "odd") +
                          chunk("data", pcm))},
        {"wave_extensible_24in32.wav",
         riff("RIFF", chunk("fmt ", fmt(0xFFFE, 32) + le16(22) + le16(24) + le32(3) + guid_pcm) +
                          chunk("data", pcm32))},
        {"rf64_pcm16.wav",
         riff("RF64", chunk("ds64", std::string(8, '\0') + size64 + std::string(12, '\0')) +
                          chunk("fmt ", fmt(1, 16)) + "data" + le32(~0u) + pcm)},
        {"wave_mulaw.wav", riff("RIFF", chunk("fmt ", fmt(7, 8)) + chunk("data", pcm))},
    };
}

// decode_fuzz: each decoder_fuzz stream behind a control byte (every container, with and
// without float samples), once as it is and once with a byte of garbage in its second frame's
// scale factors and a short run of garbage after it; the mSBC frames also in H2 units, one of
// them missing.
void write_decode_seeds(const std::filesystem::path& to, const std::filesystem::path& from) {
    uint8_t control = 0;
    for (const auto& entry : std::filesystem::directory_iterator(from)) {
        const std::string stream = testsupport::read_file(entry.path());
        if (stream.empty()) continue;
        std::string damaged = stream;
        damaged[std::min(damaged.size() - 1, damaged.size() / 3 + 6)] ^= 0x21;
        damaged.insert(damaged.size() / 2, "garbage");
        const std::string name = entry.path().filename().string();
        testsupport::write_file(to / name, std::string(1, static_cast<char>(control++)) + stream);
        testsupport::write_file(to / (name + "_damaged"),
                                std::string(1, static_cast<char>(control++ | 0x08)) + damaged);
        if (name != "msbc") continue;
        std::string units;
        for (size_t i = 0; i * sbc::MSBC_FRAME_LENGTH < stream.size(); ++i) {
            if (i == 1) continue; // a lost unit
            units += static_cast<char>(sbc::H2_SYNC_BYTE);
            units += static_cast<char>(sbc::H2_SEQUENCE[i % 4]);
            units += stream.substr(i * sbc::MSBC_FRAME_LENGTH, sbc::MSBC_FRAME_LENGTH) + '\0';
        }
        testsupport::write_file(to / "h2_units", std::string(1, '\x05') + units);
    }
}

// The containers libsndfile decodes for the library, written by libsndfile: whole for
// audio_file_fuzz; whole, cut (in the header, just before the audio, in the audio) and with bytes
// flipped (in the header, in the audio) for foreign_pipe_fuzz.
void write_foreign_seeds(const std::filesystem::path& root) {
    for (const auto& f : testsupport::foreign_files(2048)) {
        testsupport::write_file(root / "audio_file_fuzz" / f.name, f.bytes);
        const auto to = root / "foreign_pipe_fuzz";
        const size_t audio = std::min(f.audio_at, f.bytes.size());
        std::string flipped_header = f.bytes, flipped_audio = f.bytes;
        for (size_t at = 4; at < audio; at += 37) flipped_header[at] ^= 0x41;
        for (size_t at = audio + 3; at < f.bytes.size(); at += 997) flipped_audio[at] ^= 0x41;
        const std::pair<const char*, std::string> seeds[] = {
            {"whole", f.bytes},
            {"cut_in_header", f.bytes.substr(0, audio / 2)},
            {"cut_before_audio", f.bytes.substr(0, audio > 5 ? audio - 5 : 0)},
            {"cut_in_audio", f.bytes.substr(0, audio + (f.bytes.size() - audio) / 2)},
            {"flipped_header", flipped_header},
            {"flipped_audio", flipped_audio},
        };
        for (const auto& [what, bytes] : seeds)
            testsupport::write_file(to / (f.name + "_" + what), bytes);
    }
}

// The containers only FFmpeg decodes for the library (M4A with ALAC and AAC, WavPack, TTA, ffmpeg's
// ALAC in CAF), written by ffmpeg when it is installed (none otherwise): a tenth of a second of
// two tones, whole for audio_file_fuzz, whole and cut in the audio for foreign_pipe_fuzz.
void write_ffmpeg_seeds(const std::filesystem::path& root) {
    if (!testsupport::have_program("ffmpeg")) return;
    const testsupport::TempDir dir;
    const std::pair<const char*, const char*> files[] = {
        {"alac.m4a", "-c:a alac"}, {"aac.m4a", "-c:a aac -b:a 64k"}, {"x.wv", "-c:a wavpack"},
        {"x.tta", "-c:a tta"},     {"alac.caf", "-c:a alac"},
    };
    for (const auto& [name, args] : files) {
        const std::string path = (dir / name).string();
        const auto made = testsupport::run_process(
            {"sh", "-c",
             std::string("ffmpeg -v error -f lavfi -i sine=f=440:d=0.1 -f lavfi -i "
                         "sine=f=660:d=0.1 -filter_complex amerge=inputs=2 ") +
                 args + " " + testsupport::shell_quote(path)});
        if (made.status != 0) continue;
        const std::string bytes = testsupport::read_file(path);
        testsupport::write_file(root / "audio_file_fuzz" / name, bytes);
        testsupport::write_file(root / "foreign_pipe_fuzz" / (std::string(name) + "_whole"), bytes);
        testsupport::write_file(root / "foreign_pipe_fuzz" / (std::string(name) + "_cut_in_audio"),
                                bytes.substr(0, bytes.size() * 3 / 4));
    }
}

} // namespace

// Small captures: a few packets of each stream, one with losses.
void write_capture_seeds(const std::filesystem::path& root) {
    using namespace testsupport;
    std::filesystem::create_directories(root / "capture_fuzz");
    std::filesystem::create_directories(root / "l2cap_fuzz");
    StandardOptions o;
    o.a2dp_packets = 6;
    o.sco_units = 6;
    o.sco_sizes = {24, 60};
    const StandardCapture plain = standard_capture(o);
    o.lost_a2dp_packets = {2};
    o.lost_sco_packets = {3};
    o.signalling = false;
    const StandardCapture lossy = standard_capture(o);
    int n = 0;
    for (const CaptureFormat format : all_capture_formats)
        for (const StandardCapture* c : {&plain, &lossy}) {
            ++n;
            write_file(root / "capture_fuzz" / ("capture" + std::to_string(n)),
                       std::string(1, static_cast<char>(n * 13)) +
                           write_capture(c->builder, format, n % 3 == 0));
        }
    std::string acl;
    for (const HciRecord& r : plain.builder.records)
        if (r.type == 2) acl += static_cast<char>(r.received ? 1 : 0) + r.packet;
    write_file(root / "l2cap_fuzz" / "acl", acl);
}

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const char* target : {"audio_file_fuzz", "foreign_pipe_fuzz", "encode_fuzz",
                               "encoder_fuzz", "decoder_fuzz", "decode_fuzz"})
        std::filesystem::create_directories(root / target);

    const std::string prefixes[] = {options(3, 3, 1, 1, 375000), options(2, 1, 0, 0, 229000),
                                    options(1, 2, 1, 1, 128000)};
    size_t n = 0;
    for (const auto& file : testsupport::sample_files(300)) {
        testsupport::write_file(root / "audio_file_fuzz" / file.name, file.bytes);
        const std::string& prefix = prefixes[n++ % std::size(prefixes)];
        testsupport::write_file(root / "encode_fuzz" / file.name, prefix + file.bytes);
    }
    // encoder_fuzz: frequency, channels, subbands, blocks, mode, bitpool, method, then PCM.
    const std::string pcm = testsupport::sample_files(128 * 3).front().bytes.substr(44);
    for (const auto& [name, bytes] : wave_forms(pcm.substr(0, 4 * 300)))
        testsupport::write_file(root / "audio_file_fuzz" / name, bytes);
    // encode_fuzz in mSBC: a 16000 Hz mono WAVE file of six frames and a bit.
    testsupport::write_file(root / "encode_fuzz" / "msbc.wav",
                            options(0, 0, 0, 6, 0) +
                                testsupport::wave_file(1, 16000, 16, pcm.substr(0, 2 * 730)));
    const int32_t shapes[][7] = {{2, 1, 1, 3, 3, 53, 1},
                                 {0, 0, 0, 0, 0, 18, 0},
                                 {3, 1, 1, 2, 1, 250, 1},
                                 {1, 1, 0, 1, 2, 128, 0}};
    for (const auto& shape : shapes) {
        std::string seed;
        for (int32_t v : shape) seed += word(v);
        testsupport::write_file(root / "encoder_fuzz" / ("shape" + std::to_string(n++)),
                                seed + pcm);
    }
    // decoder_fuzz: frames of every channel mode, both allocations and subband counts, mSBC,
    // from the two-tone signal of the 16-bit WAVE sample (stereo, 16-bit little-endian).
    std::string tones;
    for (const auto& file : testsupport::sample_files(1024))
        if (file.name == "wave_pcm16.wav") tones = file.bytes.substr(44);
    const int32_t streams[][7] = {{44100, 2, 8, 16, 3, 53, 1},
                                  {48000, 2, 4, 4, 2, 30, 0},
                                  {32000, 2, 8, 8, 1, 40, 1},
                                  {16000, 1, 4, 12, 0, 20, 0},
                                  {44100, 2, 8, 16, 3, 2, 0}};
    for (const auto& s : streams) {
        testsupport::write_file(root / "decoder_fuzz" / ("stream" + std::to_string(n++)),
                                sbc_frames(tones, s[0], s[1], s[2], s[3], s[4], s[5], s[6]));
    }
    testsupport::write_file(root / "decoder_fuzz" / "msbc", msbc_frames(tones));
    write_foreign_seeds(root);
    write_ffmpeg_seeds(root);
    write_decode_seeds(root / "decode_fuzz", root / "decoder_fuzz");
    // capi_decode_fuzz reads the same shape: a control byte (pieces, buffer size), a stream.
    std::filesystem::copy(root / "decode_fuzz", root / "capi_decode_fuzz");
    write_capture_seeds(root);
    return 0;
}
