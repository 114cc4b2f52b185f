#include "source_files.h"

#include "wave_fixture.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace testsupport {

SourceFiles::SourceFiles() {
    const auto unit = sine_frames(2, rate, instants, 441.7, 0.6);
    std::vector<int32_t> pcm24;
    std::vector<float> floats;
    for (size_t i = 0; i < unit.size(); ++i) {
        pcm24.push_back(static_cast<int32_t>(std::lround(unit[i] * 8388607)) ^ (i % 251));
        floats.push_back(static_cast<float>(unit[i]) * 0.999f);
    }
    write_file(dir / "16.wav", wave_file(2, rate, 16, pcm16_le(to_pcm16(unit))));
    write_file(dir / "24.wav", wave_file(2, rate, 24, pcm24_le(pcm24)));
    write_file(dir / "float.wav", wave_file(2, rate, 32, float32_le(floats), 3));
}

bool SourceFiles::make(const std::string& source, const std::string& args,
                       const std::string& name) const {
    const std::string command = "ffmpeg -v error -y -i " + shell_quote((*this)(source)) + " " +
                                args + " " + shell_quote((*this)(name));
    return run_process({"sh", "-c", command}).status == 0;
}

} // namespace testsupport
