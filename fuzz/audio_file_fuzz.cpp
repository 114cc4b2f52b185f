// Fuzz target: any bytes as an audio file. Recognition must end with a result and a message,
// never a crash, a hang or a read outside a buffer; a recognised file then reads to its end.
//
//   CXX=clang++ cmake -S . -B build-fuzz -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF
//   cmake --build build-fuzz --target audio_file_fuzz && build-fuzz/fuzz/audio_file_fuzz
//   -close_fd_mask=2 -max_total_time=300
#include "audiofile/detect.h"

#include <array>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    bytes.push_back(0); // fmemopen wants a non-empty buffer
    audiofile::AudioFile file;
    audiofile::AudioInfo info{};
    file.stream.reset(fmemopen(bytes.data(), size == 0 ? 1 : size, "rb"));
    if (!file.stream) return 0;
    file.info = &info;
    file.buffer = std::make_unique<audiofile::SampleBuffer>();
    if (audiofile::detect_format(file.stream.get(), info) != 0) return 0;
    std::array<double, 8> values{};
    for (int frames = 0; frames < 1 << 20 && audiofile::audio_read(values, file) == 0; ++frames) {
    }
    return 0;
}
