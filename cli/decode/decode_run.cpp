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
#include "cli/decode/frame_sink.h"
#include "sbc/scan.h"

namespace cli {

namespace {

struct Run {
    Input& input;
    PcmOutput& output;
    std::unique_ptr<sbc::StreamScanner> scanner = sbc::scanner_create();
    FrameSink frames{output};
};

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
            if (!sink_frame(run.frames, e.bytes, e.header)) return Ending::failed;
            break;
        case sbc::ScanEventType::damaged:
            if (!sink_lost(run.frames, e.header)) return Ending::failed;
            break;
        case sbc::ScanEventType::lost:
            for (int32_t i = 0; i < e.lost_frames; ++i)
                if (!sink_lost(run.frames, e.header)) return Ending::failed;
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
    sbc::decoder_set_concealment(*run.frames.decoder, concealment);
    const Ending ending = run_events(run);
    const bool finished = finish_output(output);

    const sbc::ScanCounts& c = run.scanner->counts;
    totals.frames = c.frames - run.frames.undecodable;
    totals.damaged = c.damaged + run.frames.undecodable;
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
