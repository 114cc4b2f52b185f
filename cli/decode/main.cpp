// vantrel-decode: a stream of SBC or mSBC frames (bare, or in H2 units) back to audio.
//
//   vantrel-decode [-t type] [-f] [-c mode] [-q] [-o outputfile] [-s stream] inputfile
//   vantrel-decode --help | --version         the usage or the version, on standard output
//
// The container comes from -t, else from the -o name's suffix, else WAVE. Messages go to
// standard error; standard output carries only audio. Exit status: 0 when audio was decoded
// (damage concealed, or replaced by silence, and summed up in one line), 1 after a refusal or
// failure, or the signal's own when SIGINT or SIGTERM ended the run (the output is left whole and
// valid).
#include "cli/common/input.h"
#include "cli/common/options.h"
#include "cli/common/report.h"
#include "cli/common/stop.h"
#include "cli/decode/capture_run.h"
#include "cli/decode/decode_run.h"
#include "cli/decode/pcm_output.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array usage_lines = {
    "Usage: vantrel-decode [-t type] [-f] [-c mode] [-q] [-o outputfile] [-s stream] inputfile\n",
    "  -t type        container: wav, au, aiff, aifc, spw, h512, or raw (headerless 16-bit\n",
    "                 little-endian); default: from the -o name's suffix, else wav\n",
    "  -f             32-bit float samples, full scale 1.0 (spw: 64-bit; spw and h512: on the\n",
    "                 16-bit scale; aiff has none)\n",
    "  -c mode        lost and damaged frames: auto (concealed, the default) or silence\n",
    "  -o outputfile  write to outputfile instead of standard output\n",
    "  -q             quiet, as for vantrel (this program prints no banner)\n",
    "  -s stream      of a capture, the stream to decode (0, 1, ...; default: the first);\n",
    "                 -t sbc, msbc or h2 writes its frames as they are instead of audio\n",
    "  inputfile      SBC or mSBC frames, bare or in H2 units, or a capture of a Bluetooth\n",
    "                 link (btsnoop, pcap, pcapng); - or AUDIO_FROM_STDIN reads standard input\n",
    "  --help, --version  print this usage or the version on standard output\n",
};

struct Options {
    const char* type = nullptr;
    const char* output = nullptr;
    bool float_samples = false;
    sbc::Concealment concealment = sbc::Concealment::automatic;
    const char* input = nullptr;
    const char* stream = nullptr;
};

// Scans the command line. Returns -1 to go on, or the exit status to end with.
int scan_options(int argc, char* argv[], Options& o) {
    for (int option; (option = cli::scan(argc, argv, "t:fc:o:qs:h")) != -1;) {
        if (cli::answer_long_option(option, usage_lines)) return 0;
        switch (option) {
        case 't':
            o.type = cli::scanner.option_value;
            break;
        case 'f':
            o.float_samples = true;
            break;
        case 'c':
            if (std::strcmp(cli::scanner.option_value, "auto") == 0) {
                o.concealment = sbc::Concealment::automatic;
            } else if (std::strcmp(cli::scanner.option_value, "silence") == 0) {
                o.concealment = sbc::Concealment::silence;
            } else {
                cli::report("unknown concealment \"%s\" (known: auto, silence)",
                            cli::scanner.option_value);
                return 1;
            }
            break;
        case 'o':
            o.output = cli::scanner.option_value;
            break;
        case 'q': // there is no banner to leave out
            break;
        case 's':
            o.stream = cli::scanner.option_value;
            break;
        case 'h':
            cli::print_usage(usage_lines);
            return 0;
        default:
            cli::print_usage(usage_lines);
            return 1;
        }
    }
    o.input = cli::input_operand(argc, argv);
    if (o.input == nullptr) {
        cli::report("no inputfile given");
        cli::print_usage(usage_lines);
        return 1;
    }
    return -1;
}

// The container: -t, else the output name's suffix, else WAVE.
bool choose_container(const Options& o, cli::Container& container) {
    if (cli::bare_frames_type(o.type)) return true; // a capture's frames: no container
    if (o.type != nullptr) {
        const auto named = cli::container_of_type(o.type);
        if (!named) {
            cli::report("unknown type \"%s\" (known: %s)", o.type, cli::container_types());
            return false;
        }
        container = *named;
    } else {
        const auto suffix = o.output ? cli::container_of_suffix(o.output) : std::nullopt;
        container = suffix.value_or(cli::Container::wav);
    }
    if (const char* problem = cli::samples_problem(container, o.float_samples, 1)) {
        cli::report("%s", problem);
        return false;
    }
    return true;
}

// A capture goes its own way; -s and the bare frame types are only for captures. -1 to go on
// with a stream of frames, or the exit status.
int decode_if_capture(const Options& o, cli::Container container, cli::Input& input) {
    bool failed = false;
    int status = -1;
    if (cli::input_is_capture(input, failed))
        status =
            cli::decode_capture(input, {o.type, o.output, o.float_samples, o.stream, container,
                                         o.concealment});
    else if (failed)
        status = 1;
    else if (o.stream != nullptr || cli::bare_frames_type(o.type))
        cli::report("%s is not a capture of a Bluetooth link (btsnoop, pcap, pcapng): %s is for "
                    "captures",
                    o.input, o.stream != nullptr ? "-s" : "-t sbc, msbc or h2");
    if (status < 0 && (o.stream != nullptr || cli::bare_frames_type(o.type))) status = 1;
    if (status >= 0) cli::close_input(input);
    return status;
}

} // namespace

int main(int argc, char* argv[]) {
    cli::program_name = "vantrel-decode";
    Options o;
    if (const int status = scan_options(argc, argv, o); status >= 0) return status;
    cli::Container container = cli::Container::wav;
    if (!choose_container(o, container)) return 1;

    cli::Input input;
    if (!cli::open_input(o.input, input)) return 1;
    if (const int status = decode_if_capture(o, container, input); status >= 0) return status;
    cli::PcmOutput output;
    if (!cli::open_output(o.output, input, container, o.float_samples, output)) {
        cli::close_input(input);
        return 1;
    }
    cli::stop_on_signals();
    cli::DecodeTotals totals;
    const int status = cli::decode_stream(input, output, o.concealment, totals);
    cli::close_input(input);
    cli::end_by_stop_signal();
    return status;
}
