// Inside the library: a stream that cannot seek (a pipe) served to a decoder that reads where it
// wants (libsndfile's virtual I/O, or any reader with read-at and length callbacks), within fixed
// bounds on what is held:
//
//   position  0 ......................... held ...... REPLAY_HELD_LIMIT
//             [ held: the file's first bytes ]
//                           end - REPLAY_WINDOW ............ end ........ end + REPLAY_READ_AHEAD
//                           [ window: the last bytes taken ] | taken from the stream on demand
//
//   held      every byte from the file's start (recognition's bytes first) while the decoder
//             reads the header (`holding`), up to REPLAY_HELD_LIMIT; kept until the end
//   window    a ring of the last REPLAY_WINDOW bytes taken after the held ones
//   ahead     a read at `end`, or up to REPLAY_READ_AHEAD past it, takes the bytes from the
//             stream; one further ahead only while `reaching_far` and holding, inside the held
//             limit (the bytes between are held): that waits for the stream up to there, so a
//             caller turns it on only where its format needs it
//
// What it cannot serve it serves as missing and says so: `out_of_reach` for a read further ahead
// (what a pipe cannot show without reading on past what may be held: an Ogg file's last page,
// the chunks after a long CAF file's data), `lost` for one behind the window. The caller decides
// what either means for its format. The memory held never passes REPLAY_HELD_LIMIT +
// REPLAY_WINDOW, whatever the stream's length.
//
// Why 16 MiB is enough: what a decoder reads before the audio of these formats (FLAC's metadata
// blocks, the Ogg header packets, an MP3 file's tags, the chunks before a W64 or CAF file's data)
// is a few KiB as every common writer makes it, and a few MiB with cover art; decoders read it
// in order and go back only a little way. The one reader that needs more reads the last packet
// of an ALAC file in CAF before its first, which a pipe can give only for a file that fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

namespace audiofile {

inline constexpr std::size_t REPLAY_HELD_LIMIT = std::size_t{16} << 20;
inline constexpr std::size_t REPLAY_WINDOW = std::size_t{1} << 20;
inline constexpr std::int64_t REPLAY_READ_AHEAD = REPLAY_WINDOW / 2;

struct ReplayStream {
    std::FILE* stream = nullptr;
    std::vector<std::uint8_t> held;   // positions 0 .. held.size()
    bool holding = true;              // bytes taken from the stream are still added to `held`
    bool reaching_far = true;         // reads further ahead than REPLAY_READ_AHEAD are served
    std::vector<std::uint8_t> window; // position p at window[p % REPLAY_WINDOW], once needed
    std::int64_t end = 0;             // position after the last byte taken from the stream
    bool ended = false;               // the stream has no more
    int error = 0;                    // system error of a failed read; no read follows it
    bool out_of_reach = false;        // a read went further ahead than may be taken
    bool lost = false;                // a read went behind the window
};

// Starts the replay of `stream` after `consumed`, the bytes already taken from it (the file's
// first bytes). May throw std::bad_alloc.
void replay_start(ReplayStream& replay, std::FILE* stream, std::vector<std::uint8_t> consumed);

// Copies the file's bytes at `at` into `out`, taking them from the stream as needed; returns how
// many it has: fewer than asked at the end of the stream, after a read failure (`error`) and for
// what it cannot serve (`out_of_reach`, `lost`). A signal that interrupts a read does not end it.
std::size_t replay_read(ReplayStream& replay, std::int64_t at, std::span<std::uint8_t> out);

// The header is read: later bytes pass through the window only, and reads further ahead than
// REPLAY_READ_AHEAD are out of reach.
void replay_stop_holding(ReplayStream& replay);

// The file's length, once the stream has ended; none before.
std::optional<std::int64_t> replay_length(const ReplayStream& replay);

} // namespace audiofile
