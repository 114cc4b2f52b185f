// vantrel-decode on a capture (capture_run.h).
#include "cli/decode/capture_run.h"

#include "cli/common/capture_text.h"
#include "cli/common/files.h"
#include "cli/common/report.h"
#include "cli/common/stop.h"
#include "cli/decode/frame_sink.h"

#include <cstring>

namespace cli {

namespace {

enum class Bare { none, sbc, msbc, h2 };

Bare bare_of(const char* type) {
    if (type == nullptr) return Bare::none;
    if (std::strcmp(type, "sbc") == 0) return Bare::sbc;
    if (std::strcmp(type, "msbc") == 0) return Bare::msbc;
    if (std::strcmp(type, "h2") == 0) return Bare::h2;
    return Bare::none;
}

// Frames as they are, in blocks.
struct BareOutput {
    Bare kind = Bare::none;
    std::array<uint8_t, 65536> block{};
    size_t used = 0;
    uint64_t units = 0; // H2 units counted, lost and damaged ones included
};

struct Run {
    explicit Run(PcmOutput& out) : output(out) {}
    PcmOutput& output;
    FrameSink audio{output};
    BareOutput bare;
    int32_t stream = -1; // the stream decoded
    bool chosen = false; // -s named it
    sbc::Concealment concealment = sbc::Concealment::automatic;
    bool failed = false;
    bool stopped = false;
};

bool flush_bare(Run& run) {
    if (run.bare.used == 0) return true;
    const int error = write_all(run.output.fd, std::span(run.bare.block).first(run.bare.used));
    run.bare.used = 0;
    if (error == 0) return true;
    report("cannot write %s: %s", run.output.name.c_str(), std::strerror(error));
    run.output.failed = true;
    return false;
}

bool put_bare(Run& run, std::span<const uint8_t> bytes) {
    if (run.bare.used + bytes.size() > run.bare.block.size() && !flush_bare(run)) return false;
    std::copy(bytes.begin(), bytes.end(),
              run.bare.block.begin() + static_cast<ptrdiff_t>(run.bare.used));
    run.bare.used += bytes.size();
    return true;
}

// A good frame, as audio or as bytes.
bool take_frame(Run& run, const capture::Event& e) {
    const bool msbc = e.header.kind == sbc::FrameKind::msbc;
    switch (run.bare.kind) {
    case Bare::none: {
        const auto& info = run.output.info;
        if (run.output.started && (e.header.sampling_frequency != info.sampling_frequency ||
                                   e.header.channels != info.channels)) {
            report("stream %d changes from %d Hz with %d channels to %d Hz with %d channels; "
                   "decoding stops there, and the audio before it is kept",
                   run.stream, info.sampling_frequency, info.channels, e.header.sampling_frequency,
                   e.header.channels);
            return false;
        }
        return sink_frame(run.audio, e.bytes, e.header);
    }
    case Bare::sbc:
    case Bare::msbc:
        if (msbc != (run.bare.kind == Bare::msbc)) break;
        return put_bare(run, e.bytes);
    case Bare::h2: {
        if (!msbc) break;
        std::array<uint8_t, sbc::H2_UNIT_LENGTH> unit{};
        sbc::h2_unit_write(e.bytes, run.bare.units++, unit);
        return put_bare(run, unit);
    }
    }
    report("stream %d is %s: -t %s does not fit it (use -t %s)", run.stream,
           msbc ? "mSBC" : "A2DP SBC",
           run.bare.kind == Bare::sbc    ? "sbc"
           : run.bare.kind == Bare::msbc ? "msbc"
                                         : "h2",
           msbc ? "msbc or -t h2" : "sbc");
    return false;
}

// Frames that are missing or damaged: concealed in audio, left out of bare frames (H2 units
// skip their sequence numbers, so a decoder sees the gap).
bool take_missing(Run& run, const capture::Event& e) {
    if (run.bare.kind != Bare::none) {
        run.bare.units += static_cast<uint64_t>(e.count);
        return true;
    }
    if (e.header.sampling_frequency == 0) return true; // no shape known yet: nothing to say
    for (int64_t i = 0; i < e.count; ++i)
        if (!sink_lost(run.audio, e.header)) return false;
    return true;
}

bool take_event(Run& run, const capture::Event& e) {
    if (e.type == capture::EventType::stream && run.stream < 0) run.stream = e.stream;
    if (e.stream != run.stream) return true;
    switch (e.type) {
    case capture::EventType::frame:
        return take_frame(run, e);
    case capture::EventType::damaged:
    case capture::EventType::lost:
        return take_missing(run, e);
    default:
        return true;
    }
}

// Reads the capture through, decoding the chosen stream; false when writing failed or the
// stream could not go on.
bool read_through(Input& input, capture::CaptureReader& reader, Run& run) {
    for (;;) {
        if (stop_requested()) {
            run.stopped = true;
            return true;
        }
        const capture::Event e = capture::capture_next(reader);
        if (e.type == capture::EventType::end) return true;
        if (e.type == capture::EventType::need_input) {
            if (!run.output.regular && run.bare.kind == Bare::none && !flush_output(run.output))
                return false;
            const Feed feed = feed_capture(input, reader);
            if (feed == Feed::failed) return false;
            if (feed == Feed::stopped) run.stopped = true;
            if (feed == Feed::stopped) return true;
            continue;
        }
        if (!take_event(run, e)) return false;
    }
}

// What the run did, in messages; the exit status.
int conclude(const Run& run, const capture::CaptureReader& reader, const std::string& name,
             bool written) {
    report_capture_remarks(reader, name);
    const auto streams = capture::capture_streams(reader);
    if (run.stream < 0 || static_cast<size_t>(run.stream) >= streams.size()) {
        if (run.chosen && !streams.empty())
            report("%s has no stream %d: it holds %zu audio stream%s, numbered 0 to %zu "
                   "(vantrel-info lists them)",
                   name.c_str(), run.stream, streams.size(), streams.size() == 1 ? "" : "s",
                   streams.size() - 1);
        else
            report("no A2DP SBC or mSBC audio found in %s", name.c_str());
        return 1;
    }
    const capture::StreamInfo& s = streams[static_cast<size_t>(run.stream)];
    if (s.frames == 0) {
        report("stream %d of %s (%s) holds no frame to decode", run.stream, name.c_str(),
               stream_title(s).c_str());
        return 1;
    }
    if (streams.size() > 1 && !run.chosen)
        report("%s holds %zu audio streams; this is stream %d (%s); -s N takes another "
               "(vantrel-info lists them)",
               name.c_str(), streams.size(), run.stream, stream_title(s).c_str());
    const char* filled = run.bare.kind != Bare::none ? "left out"
                         : run.concealment == sbc::Concealment::silence ? "replaced by silence"
                                                                         : "concealed";
    if (s.lost + s.damaged > 0)
        report("stream %d: %lld frames decoded; %lld damaged and %lld lost %s", run.stream,
               static_cast<long long>(s.frames - run.audio.undecodable),
               static_cast<long long>(s.damaged + run.audio.undecodable),
               static_cast<long long>(s.lost), filled);
    return written ? 0 : 1;
}

// The -s value: a stream number.
bool stream_number(const char* text, int32_t& number) {
    if (text == nullptr) return true;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value >= capture::MAX_STREAMS) {
        report("-s takes a stream number (0, 1, ...), not \"%s\"", text);
        return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

} // namespace

bool bare_frames_type(const char* type) {
    return bare_of(type) != Bare::none;
}

int decode_capture(Input& input, const CaptureDecodeOptions& o) {
    int32_t number = -1;
    if (!stream_number(o.stream, number)) return 1;
    const Bare bare = bare_of(o.type);
    if (bare != Bare::none && o.float_samples) {
        report("-f does not go with -t %s: the frames are written as they are", o.type);
        return 1;
    }
    auto reader = capture::capture_create();
    PcmOutput output;
    const Container container = bare != Bare::none ? Container::raw : o.container;
    if (!open_output(o.output, input, container, o.float_samples, output)) return 1;
    stop_on_signals();
    Run run(output);
    run.bare.kind = bare;
    run.stream = number;
    run.chosen = number >= 0;
    run.concealment = o.concealment;
    sbc::decoder_set_concealment(*run.audio.decoder, o.concealment);
    const bool read = read_through(input, *reader, run);
    const bool flushed = flush_bare(run);
    const bool finished = finish_output(output);
    const int status = conclude(run, *reader, input.name, read && flushed && finished);
    end_by_stop_signal();
    return status;
}

} // namespace cli
