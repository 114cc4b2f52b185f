#include "decoders.h"

#include "process.h"

#include <cmath>
#include <cstring>

namespace testsupport {

namespace {

int16_t be16(const std::string& b, size_t at) {
    return static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<uint8_t>(b[at]) << 8 | static_cast<uint8_t>(b[at + 1])));
}

uint32_t be32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint16_t>(be16(b, at))) << 16 |
           static_cast<uint16_t>(be16(b, at + 2));
}

// ffmpeg's raw output: interleaved 16-bit little-endian samples.
Decoded read_s16le(const std::filesystem::path& raw_path) {
    const std::string raw = read_file(raw_path);
    Decoded d;
    d.pcm.resize(raw.size() / 2);
    std::memcpy(d.pcm.data(), raw.data(), d.pcm.size() * 2);
    return d;
}

Decoded decode_ffmpeg(const std::filesystem::path& stream, const std::filesystem::path& dir) {
    const auto raw_path = dir / "decoded.raw";
    std::filesystem::remove(raw_path);
    const auto r = run_process({"ffmpeg", "-v", "error", "-f", "sbc", "-i", stream.string(), "-f",
                                "s16le", raw_path.string()});
    if (r.status != 0 || !r.err.empty())
        return {"ffmpeg status " + std::to_string(r.status) + ": " + r.err, {}};
    return read_s16le(raw_path);
}

// sbcdec writes Sun audio: ".snd", data offset, size, encoding 3 (16-bit linear), rate,
// channels, all big-endian, then big-endian samples.
Decoded decode_sbcdec(const std::filesystem::path& stream, const std::filesystem::path& dir,
                      int32_t rate, int32_t channels, bool msbc) {
    const auto au_path = dir / "decoded.au";
    std::filesystem::remove(au_path);
    std::vector<std::string> args = {"sbcdec", "-f", au_path.string(), stream.string()};
    if (msbc) args.insert(args.begin() + 1, "-m");
    const auto r = run_process(args);
    if (r.status != 0 || !r.err.empty())
        return {"sbcdec status " + std::to_string(r.status) + ": " + r.err, {}};
    const std::string au = read_file(au_path);
    if (au.size() < 24 || au.compare(0, 4, ".snd") != 0)
        return {"sbcdec wrote no Sun audio header", {}};
    const uint32_t offset = be32(au, 4);
    if (be32(au, 12) != 3 || be32(au, 16) != static_cast<uint32_t>(rate) ||
        be32(au, 20) != static_cast<uint32_t>(channels) || offset > au.size())
        return {"unexpected Sun audio header", {}};
    Decoded d;
    for (size_t at = offset; at + 1 < au.size(); at += 2) d.pcm.push_back(be16(au, at));
    return d;
}

} // namespace

Decoded decode_sbc(const std::string& decoder, const std::filesystem::path& stream,
                   const std::filesystem::path& work_dir, int32_t rate, int32_t channels,
                   bool msbc) {
    if (decoder == "ffmpeg") return decode_ffmpeg(stream, work_dir);
    if (decoder == "sbcdec") return decode_sbcdec(stream, work_dir, rate, channels, msbc);
    return {"unknown decoder " + decoder, {}};
}

std::vector<Decoded> decode_sbc_files(const std::string& decoder, const std::vector<SbcFile>& files,
                                      const std::filesystem::path& work_dir) {
    std::vector<Decoded> out;
    const auto one_by_one = [&] {
        out.clear();
        for (const SbcFile& f : files)
            out.push_back(decode_sbc(decoder, f.path, work_dir, f.rate, f.channels, f.msbc));
        return out;
    };
    if (decoder != "ffmpeg" || files.size() < 2) return one_by_one();
    std::vector<std::string> args = {"ffmpeg", "-v", "error"};
    for (const SbcFile& f : files)
        args.insert(args.end(), {"-f", "sbc", "-i", f.path.string()});
    std::vector<std::filesystem::path> raw_paths;
    for (size_t i = 0; i < files.size(); ++i) {
        raw_paths.push_back(work_dir / ("decoded-" + std::to_string(i) + ".raw"));
        std::filesystem::remove(raw_paths.back());
        args.insert(args.end(), {"-map", std::to_string(i) + ":a", "-f", "s16le",
                                 raw_paths.back().string()});
    }
    const auto r = run_process(args);
    if (r.status != 0 || !r.err.empty()) return one_by_one();
    for (const auto& raw_path : raw_paths) out.push_back(read_s16le(raw_path));
    return out;
}

double snr_db(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded,
              int32_t channels, int32_t delay, int32_t first, int32_t count) {
    double signal = 0.0, error = 0.0;
    for (int32_t n = first; n < first + count; ++n) {
        for (int32_t ch = 0; ch < channels; ++ch) {
            const auto at = static_cast<size_t>(n * channels + ch);
            const auto later = static_cast<size_t>((n + delay) * channels + ch);
            const double x = at < input.size() ? input[at] : 0.0;
            const double y = later < decoded.size() ? decoded[later] : 0.0;
            signal += x * x;
            error += (x - y) * (x - y);
        }
    }
    return error == 0.0 ? 200.0 : 10.0 * std::log10(signal / error);
}

} // namespace testsupport
