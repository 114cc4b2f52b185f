// Test helper: opens an audio file (or "AUDIO_FROM_STDIN") for reading and prints its description
// and every sample frame, one line each, so that a test can compare a file with the same bytes
// arriving through a pipe.
//
//   audiofile_dump PATH
//   -> "offset <data_offset>\n"
//      "channels <c> rate <r> type <t> samples <n> known <0|1>\n"
//      "<v0> <v1> ...\n" per frame, until audio_read returns -1
//      "close <result> stdin-open <0|1>\n"
// Exit status 1 when the open failed (its messages are on standard error).
#include "audiofile/audiofile.h"

#include <cstdio>
#include <fcntl.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    audiofile::AudioInfo info{};
    auto file = audiofile::audio_open(argv[1], "r", info);
    if (!file) return 1;
    std::printf("offset %d\n", info.data_offset);
    std::printf("channels %d rate %d type %d samples %d known %d\n", info.channels,
                info.sampling_frequency, info.sample_type, info.num_samples,
                info.num_samples_known ? 1 : 0);
    std::vector<double> values(static_cast<size_t>(info.channels));
    while (audiofile::audio_read(values, *file) == 0) {
        for (double v : values) std::printf("%.17g ", v);
        std::printf("\n");
    }
    const int closed = audiofile::audio_close(file);
    std::printf("close %d stdin-open %d\n", closed, fcntl(0, F_GETFD) != -1 ? 1 : 0);
    return 0;
}
