// The stream scanner: every frame of a clean stream as soon as its last byte is in; damage,
// lost units, changes and garbage told apart as the policy says, the same however the bytes
// are cut into pieces; false syncs in random bytes passed over.
#include "sbc/scan.h"
#include "sbc_streams.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

struct Seen {
    sbc::ScanEventType type;
    int64_t offset, length;
    int32_t lost;
    sbc::Damage damage;
    bool changed;
    sbc::FrameHeader header;
    std::string bytes;
};

// Feeds `stream` in pieces of `chunk` bytes and returns every event up to the end; `first`, when
// given, sets the sizes of the first pieces.
std::vector<Seen> scan(const std::string& stream, size_t chunk, sbc::StreamKind* kind = nullptr,
                       std::vector<size_t> first = {}) {
    auto s = sbc::scanner_create();
    std::vector<Seen> seen;
    size_t at = 0;
    for (int guard = 0; guard < 10000000; ++guard) {
        const sbc::ScanEvent e = sbc::scanner_next(*s);
        if (e.type == sbc::ScanEventType::end) break;
        if (e.type == sbc::ScanEventType::need_input) {
            if (at == stream.size()) {
                sbc::scanner_finish(*s);
                continue;
            }
            size_t n = std::min(chunk, stream.size() - at);
            if (!first.empty()) {
                n = std::min(first.front(), stream.size() - at);
                first.erase(first.begin());
            }
            const auto* data = reinterpret_cast<const uint8_t*>(stream.data() + at);
            at += sbc::scanner_push(*s, std::span(data, n));
            continue;
        }
        seen.push_back(
            {e.type, e.offset, e.length, e.lost_frames, e.damage, e.changed, e.header,
             std::string(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size())});
    }
    if (kind != nullptr) *kind = s->kind;
    return seen;
}

// The events in short: "12F" good frames in a row, "C" a frame that changes the stream, "S37"
// skipped bytes, "L2" lost units, "Dcrc" / "Dhead" / "Dlone" a damaged frame and why.
std::string signature(const std::vector<Seen>& events) {
    std::string out;
    int run = 0;
    const auto end_run = [&] {
        if (run > 0) out += std::to_string(run) + "F ";
        run = 0;
    };
    for (const Seen& e : events) {
        if (e.type == sbc::ScanEventType::frame && !e.changed) {
            ++run;
            continue;
        }
        end_run();
        switch (e.type) {
        case sbc::ScanEventType::frame:
            out += "C ";
            break;
        case sbc::ScanEventType::skipped:
            out += "S" + std::to_string(e.length) + " ";
            break;
        case sbc::ScanEventType::lost:
            out += "L" + std::to_string(e.lost) + " ";
            break;
        case sbc::ScanEventType::damaged:
            out += e.damage == sbc::Damage::bad_crc     ? "Dcrc "
                   : e.damage == sbc::Damage::no_header ? "Dhead "
                                                        : "Dlone ";
            break;
        default:
            out += "? ";
        }
    }
    end_run();
    if (!out.empty()) out.pop_back();
    return out;
}

const SbcShape joint{44100, 2, sbc::JOINT_STEREO, 8, 16, 53};

struct CleanCase {
    const char* name;
    std::vector<std::string> units; // what the stream is made of, back to back
    sbc::StreamKind kind;
};

std::vector<CleanCase> clean_cases() {
    const auto msbc = msbc_frames(30, 7);
    std::vector<std::string> h2;
    for (size_t i = 0; i < msbc.size(); ++i) h2.push_back(h2_units({msbc[i]}, static_cast<int>(i)));
    return {
        {"joint stereo", sbc_frames(joint, 30), sbc::StreamKind::sbc},
        {"mono, 4 subbands, 4 blocks, loudness",
         sbc_frames({16000, 1, sbc::MONO, 4, 4, 10, sbc::LOUDNESS}, 30), sbc::StreamKind::sbc},
        {"dual channel, 8 blocks", sbc_frames({48000, 2, sbc::DUAL_CHANNEL, 8, 8, 20}, 30),
         sbc::StreamKind::sbc},
        {"stereo, 4 subbands, 12 blocks", sbc_frames({32000, 2, sbc::STEREO, 4, 12, 30}, 30),
         sbc::StreamKind::sbc},
        {"bitpool 0 and 1", sbc_frames({44100, 2, sbc::STEREO, 8, 16, 0}, 30),
         sbc::StreamKind::sbc},
        {"mSBC", msbc, sbc::StreamKind::msbc},
        {"H2 units", h2, sbc::StreamKind::h2_msbc},
    };
}

TEST(StreamScanner, ACleanStreamGivesEveryFrameWhateverThePieces) {
    for (const CleanCase& c : clean_cases()) {
        const std::string stream = joined(c.units);
        for (const size_t chunk : {size_t{1}, size_t{2}, size_t{61}, size_t{4096}, stream.size()}) {
            sbc::StreamKind kind{};
            const auto events = scan(stream, chunk, &kind);
            ASSERT_EQ(signature(events), std::to_string(c.units.size()) + "F")
                << c.name << ", pieces of " << chunk;
            EXPECT_EQ(kind, c.kind) << c.name;
            int64_t offset = 0;
            for (size_t i = 0; i < events.size(); ++i) {
                EXPECT_EQ(events[i].offset, offset) << c.name << " frame " << i;
                // The frame itself, without its H2 framing.
                EXPECT_NE(c.units[i].find(events[i].bytes), std::string::npos) << c.name;
                EXPECT_EQ(events[i].bytes.size(), static_cast<size_t>(events[i].header.length));
                offset += events[i].length;
            }
        }
    }
}

// A live stream: once a frame's last byte is in, the frame comes out before any more input is
// asked for, the first one included.
TEST(StreamScanner, EachFrameComesOutAsSoonAsItsLastByteIsIn) {
    for (const CleanCase& c : clean_cases()) {
        auto s = sbc::scanner_create();
        for (size_t i = 0; i < c.units.size(); ++i) {
            const auto* data = reinterpret_cast<const uint8_t*>(c.units[i].data());
            ASSERT_EQ(sbc::scanner_push(*s, std::span(data, c.units[i].size())), c.units[i].size());
            EXPECT_EQ(sbc::scanner_next(*s).type, sbc::ScanEventType::frame) << c.name << " " << i;
            EXPECT_EQ(sbc::scanner_next(*s).type, sbc::ScanEventType::need_input) << c.name;
        }
    }
}

// Byte `at` of frame `index` XOR `mask`.
std::vector<std::string> flipped(std::vector<std::string> frames, size_t index, size_t at,
                                 uint8_t mask) {
    frames[index][at] = static_cast<char>(frames[index][at] ^ mask);
    return frames;
}

// Frames first .. first + count - 1 with every header byte zeroed (they no longer read at all).
std::vector<std::string> destroyed(std::vector<std::string> frames, size_t first, size_t count) {
    for (size_t i = first; i < first + count; ++i) frames[i].replace(0, 4, 4, '\0');
    return frames;
}

// The same for H2 units: the unit's two bytes and its frame's header.
std::string destroyed_units(std::string units, size_t first, size_t count) {
    for (size_t i = first; i < first + count; ++i) units.replace(i * 60, 6, 6, '\0');
    return units;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

struct DamageCase {
    const char* name;
    std::string stream;
    std::string events;
};

std::vector<DamageCase> damage_cases() {
    const auto f = sbc_frames(joint, 20);
    const auto at48k = sbc_frames({48000, 2, sbc::JOINT_STEREO, 8, 16, 53}, 20, 10 * 128);
    const auto msbc = msbc_frames(20, 11);
    const std::string units = h2_units(msbc);
    const std::string garbage(37, '\x55');
    const auto without_unit = [&](size_t first, size_t count) {
        return units.substr(0, first * 60) + units.substr((first + count) * 60);
    };
    std::string damaged_unit = units;
    damaged_unit[10 * 60 + 2 + 5] ^= 0x10; // a scale factor of the tenth unit's frame
    std::string broken_h2_header = units;
    broken_h2_header[10 * 60] = 0;
    auto lone = f;
    lone[10] = at48k[10];
    return {
        {"garbage between frames", joined(f, 0, 10) + garbage + joined(f, 10), "10F S37 10F"},
        {"garbage before the first frame", garbage + joined(f), "S37 20F"},
        {"a scale factor flipped", joined(flipped(f, 10, 5, 0x40)), "10F Dcrc 9F"},
        {"the CRC byte flipped", joined(flipped(f, 10, 3, 0x01)), "10F Dcrc 9F"},
        {"the sync word lost", joined(flipped(f, 10, 0, 0xFF)), "10F Dhead 9F"},
        {"two sync words lost", joined(flipped(flipped(f, 10, 0, 0xFF), 11, 0, 0xFF)),
         "10F Dhead Dhead 8F"},
        {"eight headers destroyed", joined(destroyed(f, 10, 8)), "10F" + repeat(" Dhead", 8) + " 2F"},
        {"the last three headers destroyed", joined(destroyed(f, 17, 3)), "17F Dhead Dhead Dhead"},
        {"three H2 units destroyed", destroyed_units(units, 10, 3), "10F Dhead Dhead Dhead 7F"},
        {"the bitpool flipped (another length)", joined(flipped(f, 10, 2, 0x08)), "10F Dcrc 9F"},
        {"the channel mode flipped (another length)", joined(flipped(f, 10, 1, 0x0C)),
         "10F Dcrc 9F"},
        {"a sample flipped (not covered by the CRC)", joined(flipped(f, 10, 60, 0x01)), "20F"},
        {"the last frame cut short", joined(f).substr(0, 20 * 119 - 50), "19F S69"},
        {"a frequency change", joined(f, 0, 10) + joined(at48k, 10), "10F C 9F"},
        {"a lone frame of another frequency", joined(lone), "10F Dlone 9F"},
        {"a last frame of another frequency", joined(f, 0, 19) + at48k[19], "19F Dlone"},
        {"mSBC with garbage", joined(msbc, 0, 10) + garbage + joined(msbc, 10), "10F S37 10F"},
        {"an H2 unit lost", without_unit(10, 1), "10F L1 9F"},
        {"three H2 units lost", without_unit(10, 3), "10F L3 7F"},
        {"an H2 unit's frame damaged", damaged_unit, "10F Dcrc 9F"},
        {"an H2 unit's header damaged", broken_h2_header, "20F"},
        {"H2 units with garbage", units.substr(0, 600) + garbage + units.substr(600),
         "10F S37 10F"},
        {"H2 units lost in garbage", units.substr(0, 600) + garbage + units.substr(720),
         "10F S37 L2 8F"},
    };
}

TEST(StreamScanner, DamageIsToldApartTheSameWayWhateverThePieces) {
    for (const DamageCase& c : damage_cases()) {
        for (const size_t chunk : {size_t{1}, size_t{13}, c.stream.size()})
            EXPECT_EQ(signature(scan(c.stream, chunk)), c.events)
                << c.name << ", pieces of " << chunk;
    }
}

// A run of destroyed frames is judged on the bytes that are in, never on what an earlier piece
// left in the scanner's memory beyond them (there, old copies of good frames).
TEST(StreamScanner, ARunOfDestroyedFramesWaitsForItsBytes) {
    // 37 bytes of garbage first, so that the old copies lie off the stream's frame grid.
    const auto f = sbc_frames(joint, 20);
    const std::string stream = std::string(37, '\x55') + joined(destroyed(f, 10, 3));
    const size_t frame = f[0].size();
    for (const size_t second : {size_t{1}, size_t{13}, frame})
        EXPECT_EQ(signature(scan(stream, 7, nullptr, {37 + 10 * frame + frame / 2, second})),
                  "S37 10F Dhead Dhead Dhead 7F")
            << "second piece of " << second;
}

// A damaged frame stands for the time its frame took: its own shape when its header is still
// that of the stream, the previous frame's otherwise, and the previous frame's length when its
// own header gives another.
TEST(StreamScanner, ADamagedFrameKeepsTheStreamsTiming) {
    const auto f = sbc_frames({44100, 2, sbc::JOINT_STEREO, 8, 16, 53}, 12);
    for (const auto& [at, mask] :
         {std::pair{2, 0x08}, {1, 0x0C}, {1, 0x30}, {1, 0xC0}, {0, 0xFF}}) {
        const auto events = scan(joined(flipped(f, 6, static_cast<size_t>(at), mask)), 7);
        ASSERT_EQ(events.size(), 12u) << "byte " << at << " ^ " << mask;
        EXPECT_EQ(events[6].type, sbc::ScanEventType::damaged);
        EXPECT_EQ(events[6].length, 119);
        EXPECT_EQ(events[6].header.blocks * events[6].header.subbands, 128);
        EXPECT_EQ(events[6].header.channels, 2);
        EXPECT_EQ(events[7].offset, 7 * 119);
    }
}

// Random bytes hold a 0x9C whose header parses and whose CRC checks about once in 256 tries;
// none of them is taken for a frame, and real frames among such bytes are all found.
TEST(StreamScanner, FalseSyncsInRandomBytesArePassedOver) {
    std::mt19937 rng(20240611);
    std::string noise(1 << 20, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    const auto events = scan(noise, 65536);
    EXPECT_EQ(signature(events), "S" + std::to_string(noise.size()));

    // Bursts of noise with whole false frames planted in them, between real frames.
    const auto real = sbc_frames(joint, 40);
    std::string stream = real[0];
    int64_t garbage = 0;
    for (size_t i = 1; i < real.size(); ++i) {
        std::string burst(1 + rng() % 300, '\x55');
        for (char& c : burst) c = static_cast<char>(0x20 + rng() % 0x40); // no sync bytes
        for (int k = 0; k < 4; ++k) // never where a frame is due
            burst.insert(1 + rng() % burst.size(), any_frame(rng));
        // (A burst of whole frame lengths would read as frames whose headers were destroyed.)
        if (burst.size() % real[0].size() == 0) burst += '\x55';
        stream += burst + real[i];
        garbage += static_cast<int64_t>(burst.size());
    }
    for (const size_t chunk : {size_t{5}, size_t{65536}}) {
        const auto found = scan(stream, chunk);
        int64_t frames = 0, skipped = 0;
        for (const Seen& e : found) {
            frames += e.type == sbc::ScanEventType::frame;
            skipped += e.type == sbc::ScanEventType::skipped ? e.length : 0;
            EXPECT_NE(e.type, sbc::ScanEventType::damaged) << "at " << e.offset;
        }
        EXPECT_EQ(frames, 40);
        EXPECT_EQ(skipped, garbage);
    }
}

} // namespace
