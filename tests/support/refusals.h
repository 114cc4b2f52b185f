// The refusal of a file that nobody reads, as audio_open prints it: with the line that suggests
// converting it with ffmpeg only in a build without the FFmpeg reader (where FFmpeg's libraries
// have tried the file, ffmpeg itself could not convert it either).
#pragma once

#include <string>

namespace testsupport {

inline constexpr bool have_ffmpeg_reader = VANTREL_HAVE_FFMPEG != 0;

inline const std::string conversion_hint =
    "convert it first, for example: ffmpeg -i in -fflags +bitexact out.wav\n";

inline const std::string not_recognized = "\nInputfile error: filetype not recognized !\n" +
                                          (have_ffmpeg_reader ? std::string() : conversion_hint);

} // namespace testsupport
