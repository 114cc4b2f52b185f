// vantrel-decode: a stream of SBC or mSBC frames (bare, or in H2 units) back to audio.
//
//   vantrel-decode [-t type] [-f] [-c mode] [-o outputfile] inputfile
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
#include "cli/decode/decode_run.h"
#include "cli/decode/pcm_output.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array usage_lines = {
    "Usage: vantrel-decode [-t type] [-f] [-c mode] [-o outputfile] inputfile\n",
    "  -t type        container: wav, au, aiff, aifc, spw, h512, or raw (headerless 16-bit\n",
    "                 little-endian); default: from the -o name's suffix, else wav\n",
    "  -f             32-bit float samples, full scale 1.0 (spw: 64-bit; spw and h512: on the\n",
    "                 16-bit scale; aiff has none)\n",
    "  -c mode        lost and damaged frames: auto (concealed, the default) or silence\n",
    "  -o outputfile  write to outputfile instead of standard output\n",
    "  inputfile      SBC or mSBC frames, bare or in H2 units; - or AUDIO_FROM_STDIN reads\n",
    "                 standard input\n",
};

struct Options {
    const char* type = nullptr;
    const char* output = nullptr;
    bool float_samples = false;
    sbc::Concealment concealment = sbc::Concealment::automatic;
    const char* input = nullptr;
};

// Scans the command line. Returns -1 to go on, or the exit status to end with.
int scan_options(int argc, char* argv[], Options& o) {
    for (int option; (option = cli::scan(argc, argv, "t:fc:o:h")) != -1;) {
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

} // namespace

int main(int argc, char* argv[]) {
    cli::program_name = "vantrel-decode";
    Options o;
    if (const int status = scan_options(argc, argv, o); status >= 0) return status;
    cli::Container container = cli::Container::wav;
    if (!choose_container(o, container)) return 1;

    cli::Input input;
    if (!cli::open_input(o.input, input)) return 1;
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
