// Micro-benchmarks, one per stage of the encoder, on one frame of the common A2DP stream
// (44100 Hz stereo, JOINT_STEREO, SNR, 8 subbands, 16 blocks, bitpool 61), plus sample reading
// from a 16-bit stereo WAVE file, and one per stage of the decoder on the same stream at
// bitpool 53 (decode_*). Items processed are stereo sample instants, so the rates of the
// stages add up the way the frame loop spends its time.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF
//   cmake --build build-bench --target stage_bench && build-bench/bench/stage_bench
#include "audiofile/audiofile.h"
#include "sbc/bitalloc.h"
#include "sbc/decode/output.h"
#include "sbc/decode/reconstruct.h"
#include "sbc/decode/synthesis.h"
#include "sbc/decode/unpack.h"
#include "sbc/encode/analysis.h"
#include "sbc/encode/pack.h"
#include "sbc/encode/quantize.h"
#include "sbc/encode/scale.h"
#include "sbc/sbc.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr int32_t subbands = 8, blocks = 16, bitpool = 61, instants = subbands * blocks;

// Deterministic noise with a tone, on the 16-bit scale.
std::vector<int16_t> test_pcm(size_t instant_count) {
    std::vector<int16_t> pcm;
    uint32_t x = 12345;
    for (size_t i = 0; i < instant_count * 2; ++i) {
        x = x * 1103515245u + 12345u;
        const int32_t tone = static_cast<int32_t>((i / 2 * 2600) % 20000) - 10000;
        pcm.push_back(static_cast<int16_t>(tone + static_cast<int32_t>(x >> 20) - 2048));
    }
    return pcm;
}

// One frame taken through the stages up to (not including) the one being measured.
struct Frame {
    std::unique_ptr<sbc::EncoderState> enc = sbc::encoder_create(44100, 2, subbands, blocks);
    sbc::FrameWorkspace ws{};
    std::vector<int16_t> pcm = test_pcm(instants);
    Frame() {
        sbc::encoder_configure(*enc, sbc::JOINT_STEREO, bitpool, sbc::SNR);
        sbc::analysis_frame(*enc->analysis, pcm, 2, blocks, ws.sb_sample);
    }
    void scale_and_join() { sbc::scale_and_join(ws, *enc); }
    void allocate() {
        sbc::allocate_frame_bits(sbc::allocation_params(*enc), ws.scale_factor, ws.bits);
    }
    void quantize() { sbc::quantize_frame(ws, *enc); }
};

// The frame filter of both channels, from interleaved PCM, on the widest kernel available.
void analysis(benchmark::State& st) {
    Frame f;
    for (auto _ : st) {
        sbc::analysis_frame(*f.enc->analysis, f.pcm, 2, blocks, f.ws.sb_sample);
        benchmark::DoNotOptimize(f.ws.sb_sample);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// The same on each implementation, 0 scalar, 1 SSE2, 2 AVX2, 3 AVX-512 (skipped where this
// processor lacks it).
void analysis_path(benchmark::State& st) {
    const auto path = static_cast<sbc::FilterPath>(st.range(0));
    if (!sbc::filter_path_available(path)) {
        st.SkipWithError("not available on this processor");
        return;
    }
    Frame f;
    f.enc->analysis->path = path;
    for (auto _ : st) {
        sbc::analysis_frame(*f.enc->analysis, f.pcm, 2, blocks, f.ws.sb_sample);
        benchmark::DoNotOptimize(f.ws.sb_sample);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// The plain one-block-at-a-time filter, for comparison.
void analysis_plain(benchmark::State& st) {
    Frame f;
    std::array<sbc::SampleRow, 2> in{};
    for (int32_t t = 0; t < instants; ++t)
        for (int32_t c = 0; c < 2; ++c) in[c][t] = f.pcm[static_cast<size_t>(t * 2 + c)];
    for (auto _ : st) {
        for (int32_t c = 0; c < 2; ++c)
            sbc::analysis_filter(*f.enc->analysis, in[c], f.ws.sb_sample[c], c, blocks);
        benchmark::DoNotOptimize(f.ws.sb_sample);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Mid/side, the four scale-factor passes and the joint decision on a given path
// (scale_factors_joint below takes the widest); each round includes the ~16 ns copy that
// restores the frame's samples.
template <sbc::ScalePath path> void scale_factors_joint_on(benchmark::State& st) {
    if (!sbc::scale_path_available(path)) return st.SkipWithError("not on this processor");
    Frame f;
    const auto sb = f.ws.sb_sample;
    for (auto _ : st) {
        f.ws.sb_sample = sb;
        sbc::scale_and_join_on(path, f.ws, *f.enc);
        benchmark::DoNotOptimize(f.ws.scale_factor);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

void scale_factors_joint(benchmark::State& st) {
    Frame f;
    const auto sb = f.ws.sb_sample;
    for (auto _ : st) {
        f.ws.sb_sample = sb;
        f.scale_and_join();
        benchmark::DoNotOptimize(f.ws.scale_factor);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

void bit_allocation(benchmark::State& st) {
    Frame f;
    f.scale_and_join();
    for (auto _ : st) {
        f.allocate();
        benchmark::DoNotOptimize(f.ws.bits);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// The same frame's scale factors on a given path, method and pool: two channels in one pool
// (the frame's own mode), or DUAL_CHANNEL (one pool per channel, two allocations).
template <sbc::AllocationPath path, int32_t mode, int32_t method>
void bit_allocation_on(benchmark::State& st) {
    if (!sbc::allocation_path_available(path)) return st.SkipWithError("not on this processor");
    Frame f;
    f.scale_and_join();
    f.enc->channel_mode = mode;
    f.enc->allocation_method = method;
    for (auto _ : st) {
        sbc::allocate_frame_bits_on(path, sbc::allocation_params(*f.enc), f.ws.scale_factor,
                                    f.ws.bits);
        benchmark::DoNotOptimize(f.ws.bits);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Music-like PCM, 16-bit stereo: segments of 256 frames (about 0.74 s) that cycle through a
// chord of tones, a chirp from 50 Hz to 20 kHz, noise bursts and silence, each segment at one
// of five levels, so frames span the scale factors (and bitslice searches) of a real file.
std::vector<int16_t> music_pcm(size_t frame_count) {
    constexpr double rate = 44100, pi = 3.14159265358979323846;
    constexpr size_t segment = 256 * instants;
    std::vector<int16_t> pcm;
    uint32_t x = 2024;
    double phase = 0;
    for (size_t t = 0; t < frame_count * instants; ++t) {
        const size_t k = t / segment;
        const double level = 30000.0 / static_cast<double>(1u << (k % 5 * 2));
        const double u = static_cast<double>(t % segment) / rate; // seconds into the segment
        for (int c = 0; c < 2; ++c) {
            x = x * 1103515245u + 12345u;
            double v = 0;
            switch (k % 4) {
            case 0:
                v = (std::sin(2 * pi * 440 * u + c) + std::sin(2 * pi * 554.4 * u) +
                     std::sin(2 * pi * 3520 * u)) /
                    3;
                break;
            case 1:
                if (c == 0) phase += 2 * pi * (50 + 20000 * u / (segment / rate)) / rate;
                v = std::sin(phase);
                break;
            case 2:
                v = (static_cast<double>(x >> 16) / 32768.0 - 1) * (t / 4096 % 2 == 0 ? 1 : 0.05);
                break;
            default:
                break;
            }
            pcm.push_back(static_cast<int16_t>(v * level));
        }
    }
    return pcm;
}

// The scale factors of `frame_count` music_pcm frames (analysis, scale factors and the joint
// decision of the bench stream), kept for the allocation benchmarks.
std::vector<std::array<sbc::SubbandRow, 2>> music_scale_factors(size_t frame_count) {
    Frame f;
    const std::vector<int16_t> pcm = music_pcm(frame_count);
    std::vector<std::array<sbc::SubbandRow, 2>> out;
    for (size_t i = 0; i < frame_count; ++i) {
        const std::span<const int16_t> frame(pcm.data() + i * 2 * instants, 2 * instants);
        sbc::analysis_frame(*f.enc->analysis, frame, 2, blocks, f.ws.sb_sample);
        f.scale_and_join();
        out.push_back(f.ws.scale_factor);
    }
    return out;
}

// Allocation over 4096 music-like frames in a row, on a given path and method (JOINT_STEREO,
// bitpool 61): the searches real files need, not one frame's. "frame" is the time per frame.
template <sbc::AllocationPath path, int32_t method>
void bit_allocation_music_on(benchmark::State& st) {
    if (!sbc::allocation_path_available(path)) return st.SkipWithError("not on this processor");
    static const auto frames = music_scale_factors(4096);
    Frame f;
    f.enc->allocation_method = method;
    for (auto _ : st) {
        for (const auto& sf : frames) {
            f.ws.scale_factor = sf;
            sbc::allocate_frame_bits_on(path, sbc::allocation_params(*f.enc), f.ws.scale_factor,
                                        f.ws.bits);
            benchmark::DoNotOptimize(f.ws.bits);
        }
    }
    const auto count = static_cast<double>(st.iterations()) * static_cast<double>(frames.size());
    st.SetItemsProcessed(static_cast<int64_t>(count) * instants);
    st.counters["frame"] =
        benchmark::Counter(count, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void quantisation(benchmark::State& st) {
    Frame f;
    f.scale_and_join();
    f.allocate();
    for (auto _ : st) {
        f.quantize();
        benchmark::DoNotOptimize(f.ws.quantized);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Quantisation on a given path.
void quantisation_on(benchmark::State& st, sbc::QuantizePath path) {
    if (!sbc::quantize_path_available(path)) {
        st.SkipWithError("path not available here");
        return;
    }
    Frame f;
    f.scale_and_join();
    f.allocate();
    for (auto _ : st) {
        sbc::quantize_frame_on(path, f.ws, *f.enc);
        benchmark::DoNotOptimize(f.ws.quantized);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

void packing_crc(benchmark::State& st) {
    Frame f;
    f.scale_and_join();
    f.allocate();
    f.quantize();
    std::vector<uint8_t> out(static_cast<size_t>(sbc::encoder_frame_length(*f.enc)));
    for (auto _ : st) {
        sbc::write_frame(out, *f.enc, f.ws.join, f.ws.scale_factor, f.ws.quantized, f.ws.bits);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Packing on a given path, from the quantized rows.
void packing_crc_on(benchmark::State& st, sbc::PackPath path) {
    if (!sbc::pack_path_available(path)) {
        st.SkipWithError("path not available here");
        return;
    }
    Frame f;
    f.scale_and_join();
    f.allocate();
    f.quantize();
    std::vector<uint8_t> out(static_cast<size_t>(sbc::encoder_frame_length(*f.enc)));
    for (auto _ : st) {
        sbc::write_frame_on(path, out, *f.enc, f.ws.join, f.ws.scale_factor, f.ws.quantized,
                            f.ws.bits);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Quantisation and packing in one step, as the encoder runs them where AVX-512 is available.
void quantisation_packing_crc(benchmark::State& st) {
    if (!sbc::quantizing_pack_available()) {
        st.SkipWithError("needs AVX-512");
        return;
    }
    Frame f;
    f.scale_and_join();
    f.allocate();
    std::vector<uint8_t> out(static_cast<size_t>(sbc::encoder_frame_length(*f.enc)));
    for (auto _ : st) {
        sbc::quantize_and_write_frame(out, *f.enc, f.ws);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// The frame of `f` encoded again and again.
void encode_repeatedly(benchmark::State& st, Frame& f) {
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    for (auto _ : st) {
        int32_t len = 0;
        sbc::encoder_encode_frame(*f.enc, f.pcm, out, len);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

void whole_frame(benchmark::State& st) {
    Frame f;
    encode_repeatedly(st, f);
}

// A frame of digital silence after silence: a copy of the first silent frame.
void whole_frame_silent(benchmark::State& st) {
    Frame f;
    std::fill(f.pcm.begin(), f.pcm.end(), int16_t{0});
    encode_repeatedly(st, f);
}

// A 16-bit stereo WAVE file of `seconds` at 44100 Hz in the temporary directory.
std::string bench_wave(int seconds) {
    const auto path = std::filesystem::temp_directory_path() / "vantrel-stage-bench.wav";
    const auto pcm = test_pcm(static_cast<size_t>(seconds) * 44100);
    const auto data_bytes = static_cast<uint32_t>(pcm.size() * 2);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const auto put32 = [f](uint32_t v) { std::fwrite(&v, 4, 1, f); };
    const auto put16 = [f](uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fputs("RIFF", f), put32(36 + data_bytes), std::fputs("WAVEfmt ", f), put32(16);
    put16(1), put16(2), put32(44100), put32(44100 * 4), put16(4), put16(16);
    std::fputs("data", f), put32(data_bytes);
    std::fwrite(pcm.data(), 2, pcm.size(), f);
    std::fclose(f);
    return path.string();
}

// Reads the whole file through audio_read, one sample instant per call.
void sample_reading(benchmark::State& st) {
    const std::string path = bench_wave(10);
    int64_t total = 0;
    for (auto _ : st) {
        audiofile::AudioInfo info{};
        auto file = audiofile::audio_open(path.c_str(), "r", info);
        std::array<double, 2> v{};
        for (int32_t i = 0; i < info.num_samples && audiofile::audio_read(v, *file) == 0; ++i) {
            benchmark::DoNotOptimize(v);
            ++total;
        }
        audiofile::audio_close(file);
    }
    st.SetItemsProcessed(total);
    std::filesystem::remove(path);
}

// The same through audio_read_frames, one frame of 128 instants per call, as the run reads.
template <typename Sample> void sample_reading_bulk(benchmark::State& st) {
    const std::string path = bench_wave(10);
    int64_t total = 0;
    for (auto _ : st) {
        audiofile::AudioInfo info{};
        auto file = audiofile::audio_open(path.c_str(), "r", info);
        std::array<Sample, 2 * instants> v{};
        const auto read = [&] {
            if constexpr (std::is_same_v<Sample, double>)
                return audiofile::audio_read_frames(v, *file);
            else
                return audiofile::audio_read_frames16(v, *file);
        };
        for (int got = 0; (got = read()) > 0;) {
            benchmark::DoNotOptimize(v);
            total += got;
        }
        audiofile::audio_close(file);
    }
    st.SetItemsProcessed(total);
    std::filesystem::remove(path);
}

// ---- The decoder's stages -----------------------------------------------------------------

// The music-like bench signal encoded as the common A2DP stream at bitpool 53 (JOINT_STEREO,
// SNR, 8 subbands, 16 blocks), frame by frame.
std::vector<std::vector<uint8_t>> music_frames(size_t frame_count) {
    const std::vector<int16_t> pcm = music_pcm(frame_count);
    auto enc = sbc::encoder_create(44100, 2, subbands, blocks);
    sbc::encoder_configure(*enc, sbc::JOINT_STEREO, 53, sbc::SNR);
    std::vector<std::vector<uint8_t>> frames;
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> out{};
    for (size_t i = 0; i < frame_count; ++i) {
        int32_t len = 0;
        sbc::encoder_encode_frame(*enc, std::span(pcm).subspan(i * 2 * instants, 2 * instants), out,
                                  len);
        frames.emplace_back(out.begin(), out.begin() + len);
    }
    return frames;
}

// One frame of a tone segment, taken through the decoder's stages up to the one measured.
struct Decoding {
    std::vector<uint8_t> frame = music_frames(16)[12];
    sbc::FrameHeader header{};
    sbc::FrameFields fields{};
    std::array<sbc::BandRow, 2> sb{}, pcm{};
    std::unique_ptr<sbc::SynthesisState> synthesis = sbc::synthesis_create();
    Decoding() {
        sbc::frame_header_parse(frame, header);
        sbc::unpack_frame(frame, header, fields);
        sbc::reconstruct_frame(fields, header, sb);
        for (int32_t c = 0; c < 2; ++c)
            sbc::synthesize_channel(*synthesis, c, subbands, blocks, sb[c], pcm[c]);
    }
};

// Join flags, scale factors, the bit allocation and the 256 samples.
void decode_unpack(benchmark::State& st) {
    Decoding d;
    for (auto _ : st) {
        sbc::unpack_frame(d.frame, d.header, d.fields);
        benchmark::DoNotOptimize(d.fields);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

void decode_reconstruct(benchmark::State& st) {
    Decoding d;
    for (auto _ : st) {
        sbc::reconstruct_frame(d.fields, d.header, d.sb);
        benchmark::DoNotOptimize(d.sb);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// The filter bank of both channels on each path: 0 plain, 1 AVX2, 2 AVX-512.
void decode_synthesis(benchmark::State& st) {
    Decoding d;
    d.synthesis->path = static_cast<sbc::SynthesisPath>(st.range(0));
    if (!sbc::synthesis_path_available(d.synthesis->path))
        return st.SkipWithError("not available on this processor");
    for (auto _ : st) {
        for (int32_t c = 0; c < 2; ++c)
            sbc::synthesize_channel(*d.synthesis, c, subbands, blocks, d.sb[c], d.pcm[c]);
        benchmark::DoNotOptimize(d.pcm);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// Rounding, saturation and interleaving to 16 bits: 0 plain, 1 AVX2.
void decode_output(benchmark::State& st) {
    const auto path = static_cast<sbc::OutputPath>(st.range(0));
    if (!sbc::output_path_available(path)) return st.SkipWithError("not on this processor");
    Decoding d;
    std::array<int16_t, 2 * instants> out{};
    for (auto _ : st) {
        sbc::write_pcm16_on(path, d.pcm, 2, instants, out);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// decoder_decode_frame on the same frame again and again (CRC and checks included).
template <class Sample> void decode_whole_frame(benchmark::State& st) {
    Decoding d;
    auto decoder = sbc::decoder_create();
    std::array<Sample, 2 * instants> out{};
    for (auto _ : st) {
        if constexpr (std::is_same_v<Sample, float>)
            sbc::decoder_decode_frame_float(*decoder, d.frame, d.header, out);
        else
            sbc::decoder_decode_frame(*decoder, d.frame, d.header, out);
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(st.iterations() * instants);
}

// 4096 frames of the music-like stream in a row, as a file is decoded ("frame": per frame).
void decode_music(benchmark::State& st) {
    static const auto frames = music_frames(4096);
    auto decoder = sbc::decoder_create();
    std::array<int16_t, 2 * instants> out{};
    for (auto _ : st) {
        for (const auto& f : frames) {
            sbc::FrameHeader h;
            sbc::frame_header_parse(f, h);
            sbc::decoder_decode_frame(*decoder, f, h, out);
            benchmark::DoNotOptimize(out);
        }
    }
    const auto count = static_cast<double>(st.iterations()) * static_cast<double>(frames.size());
    st.SetItemsProcessed(static_cast<int64_t>(count) * instants);
    st.counters["frame"] =
        benchmark::Counter(count, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(analysis);
BENCHMARK(analysis_path)->ArgName("path")->DenseRange(0, 3);
BENCHMARK(analysis_plain);
BENCHMARK(scale_factors_joint);
BENCHMARK(scale_factors_joint_on<sbc::ScalePath::plain>);
BENCHMARK(scale_factors_joint_on<sbc::ScalePath::avx2>);
BENCHMARK(bit_allocation);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::plain, sbc::JOINT_STEREO, sbc::SNR>);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::plain, sbc::JOINT_STEREO, sbc::LOUDNESS>);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::plain, sbc::DUAL_CHANNEL, sbc::SNR>);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::avx2, sbc::JOINT_STEREO, sbc::SNR>);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::avx512, sbc::JOINT_STEREO, sbc::LOUDNESS>);
BENCHMARK(bit_allocation_on<sbc::AllocationPath::avx512, sbc::DUAL_CHANNEL, sbc::SNR>);
BENCHMARK(bit_allocation_music_on<sbc::AllocationPath::plain, sbc::SNR>);
BENCHMARK(bit_allocation_music_on<sbc::AllocationPath::avx2, sbc::SNR>);
BENCHMARK(bit_allocation_music_on<sbc::AllocationPath::avx512, sbc::SNR>);
BENCHMARK(bit_allocation_music_on<sbc::AllocationPath::avx512, sbc::LOUDNESS>);
BENCHMARK(quantisation);
BENCHMARK_CAPTURE(quantisation_on, plain, sbc::QuantizePath::plain);
BENCHMARK_CAPTURE(quantisation_on, avx512, sbc::QuantizePath::avx512);
BENCHMARK(packing_crc);
BENCHMARK_CAPTURE(packing_crc_on, scalar, sbc::PackPath::scalar);
BENCHMARK_CAPTURE(packing_crc_on, avx2, sbc::PackPath::avx2);
BENCHMARK_CAPTURE(packing_crc_on, avx512, sbc::PackPath::avx512);
BENCHMARK(quantisation_packing_crc);
BENCHMARK(sample_reading)->Unit(benchmark::kMillisecond);
BENCHMARK(sample_reading_bulk<double>)->Unit(benchmark::kMillisecond);
BENCHMARK(sample_reading_bulk<int16_t>)->Unit(benchmark::kMillisecond); // 16-bit straight to PCM
BENCHMARK(whole_frame);
BENCHMARK(whole_frame_silent);
BENCHMARK(decode_unpack);
BENCHMARK(decode_reconstruct);
BENCHMARK(decode_synthesis)->ArgName("path")->DenseRange(0, 2);
BENCHMARK(decode_output)->ArgName("path")->DenseRange(0, 1);
BENCHMARK(decode_whole_frame<int16_t>);
BENCHMARK(decode_whole_frame<float>);
BENCHMARK(decode_music)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
