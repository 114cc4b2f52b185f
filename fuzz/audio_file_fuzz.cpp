// Fuzz target: any bytes as an audio file arriving through a pipe. Recognition must end with a
// handle or a message, never a crash, a hang or a read outside a buffer; a recognised file then
// reads to its end, and never delivers more sample bytes than the input holds (unless libsndfile
// or FFmpeg decodes it: what the five readers refuse reaches libsndfile through the same stream,
// and what libsndfile does not decode reaches FFmpeg's libraries, the module that the build tree
// holds).
//
//   scripts/fuzz audio_file_fuzz 1800      (build, seed and run for 30 minutes)
#include "audiofile/audiofile.h"
#include "fuzz_input.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzcheck::PipeBytes pipe{data, size, 0};
    audiofile::AudioInfo info{};
    auto file = audiofile::audio_open_stream(fuzzcheck::pipe_stream(pipe), info);
    if (!file) return 0;
    constexpr int most_channels = 1 << 16;
    if (info.channels < 1 || info.channels > most_channels) {
        audiofile::audio_close(file);
        return 0;
    }
    std::vector<double> values(static_cast<size_t>(info.channels));
    const size_t frame_bytes =
        static_cast<size_t>(audiofile::sample_bits(info.sample_type) / 8) * values.size();
    size_t frames = 0;
    while (frames < (1u << 22) && audiofile::audio_read(values, *file) == 0) ++frames;
    // Decoded files (FLAC, Ogg, MP3, M4A, WavPack, ...) are compressed: they may decode to many
    // more bytes.
    const bool decoded = info.sample_type >= audiofile::ST_DECODED_PCM16;
    if (!decoded && frames * frame_bytes > size) std::abort(); // samples invented
    audiofile::audio_close(file);
    return 0;
}
