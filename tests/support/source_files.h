// Test support: the sources that the tests of files made by ffmpeg convert, as plain WAVE files
// in a folder of their own: 300 SBC frames' worth (128 × 300 stereo instants at 44.1 kHz) of a
// 441.7 Hz sine, as 16-bit ("16.wav"), as 24-bit with detail below the top 16 bits ("24.wav")
// and as float ("float.wav").
//
//   const SourceFiles src;
//   src.make("16.wav", "-c:a alac", "alac.m4a");          // ffmpeg's conversion, in the folder
//   run_process({vantrel_binary(), src("alac.m4a")});
#pragma once

#include "process.h"

#include <cstddef>
#include <string>

namespace testsupport {

struct SourceFiles {
    static constexpr int rate = 44100;
    static constexpr int instants = 128 * 300;
    static constexpr std::size_t frame_bytes = 136; // vantrel's defaults: -j, 8 subbands, 16 blocks

    SourceFiles();
    // The path of `name` in the folder.
    std::string operator()(const std::string& name) const { return (dir / name).string(); }
    // ffmpeg's conversion of `source` into `name` with output options `args`; false when it
    // failed.
    bool make(const std::string& source, const std::string& args, const std::string& name) const;

    TempDir dir;
};

} // namespace testsupport
