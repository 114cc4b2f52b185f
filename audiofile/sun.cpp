// The Sun audio reader (magic ".snd", big-endian header words).
//
// It is the first reader tried, so it starts the look-ahead record: the 4 bytes it reads are
// recorded before any test, whatever they are, and every later reader replays them.
//
//   offset 0  ".snd"   <- read and recorded here
//          4  data offset, 8 data size, 12 encoding, 16 rate, 20 channels (not read yet)
//
// This build recognises the magic only: the header decoding is not here yet, so a file that
// carries the magic is still refused and goes on to the later readers.
#include "audiofile/detect.h"

namespace audiofile {

int read_sun_header(std::FILE* stream, [[maybe_unused]] AudioInfo& info) {
    std::array<std::uint8_t, 4> magic{};
    const std::size_t got = std::fread(magic.data(), 1, magic.size(), stream);
    lookahead_record(std::span<const std::uint8_t>(magic).first(got));
    if (got < magic.size() || chunk_id_lookup(magic) != CHUNK_SND) return SUN_REFUSED;
    // The header decoding comes with the full reader; until then ".snd" files are refused too.
    return SUN_REFUSED;
}

} // namespace audiofile
