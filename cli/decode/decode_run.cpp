// The decoding run:
//
//   read ─► scanner ─► frame ─────► decoder_decode_frame ──────► output block ─► write
//   (what     │      ─► damaged ──► concealed over its length ┘       ▲
//   is there) │      ─► lost ─────► concealed, once per lost unit ┘   │ flushed before each
//             └◄── need_input ◄──────────────────────────────────────┘ wait when not a file
//
// The first frame fixes the output's frequency and channel count (its header is written then);
// a confirmed change of either ends the run, keeping the audio before it whole. Memory is fixed:
// the scanner's window, one frame of samples, the output block.
#include "cli/decode/decode_run.h"

#include "cli/common/report.h"
#include "cli/common/stop.h"
#include "sbc/scan.h"

#include <array>

namespace cli {

namespace {

struct Run {
    Input& input;
    PcmOutput& output;
    std::unique_ptr<sbc::StreamScanner> scanner = sbc::scanner_create();
    std::unique_ptr<sbc::DecoderState> decoder = sbc::decoder_create();
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::array<float, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm_float{};
    int64_t undecodable = 0; // frames the decoder refused after the scanner found them good
};

// Writes the first `instants` instants of the frame buffer.
bool write_pcm(Run& run, int32_t instants, int32_t channels) {
    const auto count = static_cast<size_t>(instants) * static_cast<size_t>(channels);
    if (run.output.float_samples)
        return write_samples(run.output, std::span(run.pcm_float).first(count));
    return write_samples(run.output, std::span(run.pcm).first(count));
}

bool started_for(Run& run, const sbc::FrameHeader& header) {
    if (!run.output.started && !start_output(run.output, header)) return false;
    // Silence of another shape never reaches an output of fixed channels.
    return header.channels == run.output.info.channels;
}

bool write_lost(Run& run, const sbc::FrameHeader& shape) {
    if (!started_for(run, shape)) return !run.output.failed && run.output.started;
    const int32_t instants =
        run.output.float_samples
            ? sbc::decoder_conceal_frame_float(*run.decoder, shape, run.pcm_float)
            : sbc::decoder_conceal_frame(*run.decoder, shape, run.pcm);
    return instants < 0 || write_pcm(run, instants, shape.channels);
}

bool write_frame(Run& run, const sbc::ScanEvent& e) {
    if (!started_for(run, e.header)) return false;
    const int32_t instants =
        run.output.float_samples
            ? sbc::decoder_decode_frame_float(*run.decoder, e.bytes, e.header, run.pcm_float)
            : sbc::decoder_decode_frame(*run.decoder, e.bytes, e.header, run.pcm);
    if (instants >= 0) return write_pcm(run, instants, e.header.channels);
    ++run.undecodable;
    if (instants == sbc::DECODE_CRC_ERROR) // silence of its length is in the buffer already
        return write_pcm(run, e.header.blocks * e.header.subbands, e.header.channels);
    return write_lost(run, e.header);
}

void report_change(const Run& run, const sbc::ScanEvent& e) {
    const auto& was = run.output.info;
    report("the stream changes from %d Hz with %d channel%s to %d Hz with %d channel%s at byte "
           "%lld; decoding stops there, and the audio before it is kept",
           was.sampling_frequency, was.channels, was.channels == 1 ? "" : "s",
           e.header.sampling_frequency, e.header.channels, e.header.channels == 1 ? "" : "s",
           static_cast<long long>(e.offset));
}

enum class Ending { input_ended, stopped, failed, changed };

// Runs the loop until the input ends or something stops it.
Ending run_events(Run& run) {
    for (;;) {
        if (stop_requested()) return Ending::stopped;
        const sbc::ScanEvent e = sbc::scanner_next(*run.scanner);
        switch (e.type) {
        case sbc::ScanEventType::need_input:
            if (!run.output.regular && !flush_output(run.output)) return Ending::failed;
            switch (feed_scanner(run.input, *run.scanner)) {
            case Feed::more:
            case Feed::ended:
                break;
            case Feed::failed:
                return Ending::failed;
            case Feed::stopped:
                return Ending::stopped;
            }
            break;
        case sbc::ScanEventType::frame:
            if (e.changed) {
                report_change(run, e);
                return Ending::changed;
            }
            if (!write_frame(run, e)) return Ending::failed;
            break;
        case sbc::ScanEventType::damaged:
            if (!write_lost(run, e.header)) return Ending::failed;
            break;
        case sbc::ScanEventType::lost:
            for (int32_t i = 0; i < e.lost_frames; ++i)
                if (!write_lost(run, e.header)) return Ending::failed;
            break;
        case sbc::ScanEventType::skipped:
            break;
        case sbc::ScanEventType::end:
            return Ending::input_ended;
        }
    }
}

} // namespace

int decode_stream(Input& input, PcmOutput& output, sbc::Concealment concealment,
                  DecodeTotals& totals) {
    Run run{input, output};
    sbc::decoder_set_concealment(*run.decoder, concealment);
    const Ending ending = run_events(run);
    const bool finished = finish_output(output);

    const sbc::ScanCounts& c = run.scanner->counts;
    totals.frames = c.frames - run.undecodable;
    totals.damaged = c.damaged + run.undecodable;
    totals.lost = c.lost;
    totals.skipped = c.skipped_bytes;
    if (c.frames == 0 && ending == Ending::input_ended) {
        report("no SBC or mSBC frame found in %s (%lld bytes)", input.name.c_str(),
               static_cast<long long>(c.bytes));
        return 1;
    }
    if (totals.damaged + totals.lost + totals.skipped > 0)
        report("%lld frames decoded; %lld damaged and %lld lost %s; %lld bytes skipped",
               static_cast<long long>(totals.frames), static_cast<long long>(totals.damaged),
               static_cast<long long>(totals.lost),
               concealment == sbc::Concealment::silence ? "replaced by silence" : "concealed",
               static_cast<long long>(totals.skipped));
    const bool ok = finished && ending != Ending::failed && ending != Ending::changed;
    return ok ? 0 : 1;
}

} // namespace cli
