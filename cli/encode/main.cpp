// Entry point: banner, options, usage, the early checks, then the encoding run.
//
//   vantrel [-jqsv] [-lblk_len] [-nsubbands] [-p] [-rrate] [-ooutputfile] inputfile
//   vantrel -m [-H] [-qv] [-ooutputfile] inputfile       mSBC, bare or in H2 units
//   -F hz resamples the input to one of SBC's four sampling frequencies first
//   -q leaves out the banner; --help and --version answer on standard output
//
// Everything else this file prints goes to standard error; standard output carries only frames.
// Exit status: 0 after a run (or after printing the usage or version), 1 after any refusal.
#include "cli/common/files.h"
#include "cli/common/options.h"
#include "cli/common/report.h"
#include "cli/encode/settings.h"
#include "sbc/sbc.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int max_blk_len = 16;
constexpr const char* option_letters = "jl:n:o:pqr:svhmHT:F:";

constexpr std::array usage_lines = {
    "Usage:\n",
    "vantrel [-jsv] [-lblk_len] [-nsubbands] [-p] [-rrate] [-ooutputfile] inputfile\n",
    "            [-s] use the stereo mode for stereo signals\n",
    "            [-v] verbose mode\n",
    "            [-j] allow the use of joint coding for stereo signals\n",
    "            [-lblk_len] blk_len specifies the APCM block length, out of [4,8,12,16]\n",
    "            [-nsubbands] subbands specifies the number of subbands, out of [4,8]\n",
    "            [-p] a simple psycho acoustic model is used\n",
    "            [-rrate] specifies the bit rate in bps\n",
    "            [-ooutputfile] specifies the name of the bitstream output file\n",
    "            [-Fhz] resample the input to hz, out of [16000,32000,44100,48000]\n",
    "            [-m] use mSBC, the wideband speech codec of hands-free links (16000 Hz mono)\n",
    "            [-H] with -m, write each frame in a 60-byte H2 unit, as a voice link carries it\n",
    "            [-Tthreads] threads specifies the number of encoding threads, 0 for one per "
    "core\n",
    "            [-q] leave out the banner\n",
    "            [--help] [--version] print this usage or the version on standard output\n",
    "            inputfile specifies the audio input file, the major audio formats are supported\n",
};

// The options that mSBC's fixed parameters leave no room for, and what they would have set.
const char* fixed_by_msbc(int option) {
    switch (option) {
    case 's':
    case 'j':
        return "the channel mode (MONO)";
    case 'l':
        return "blk_len (15)";
    case 'n':
        return "subbands (8)";
    case 'p':
        return "the allocation method (LOUDNESS)";
    case 'r':
        return "the bit rate (60800 bps)";
    default:
        return nullptr;
    }
}

// Refuses -H without -m and, with -m, the first option whose setting mSBC fixes, and a -F other
// than mSBC's 16000 Hz.
bool msbc_options_fit(const cli::Settings& settings, int fixed_option) {
    if (settings.h2 && !settings.msbc) {
        std::fprintf(stderr, "\n-H writes mSBC frames in H2 units and needs -m\n");
        return false;
    }
    if (settings.msbc && fixed_option != 0) {
        std::fprintf(stderr, "\n-%c cannot be used with -m: mSBC fixes %s\n", fixed_option,
                     fixed_by_msbc(fixed_option));
        return false;
    }
    if (settings.msbc && settings.frequency != 0 &&
        settings.frequency != sbc::MSBC_SAMPLING_FREQUENCY) {
        std::fprintf(stderr,
                     "\n-F %d cannot be used with -m: mSBC fixes the sampling frequency (%d Hz)\n",
                     settings.frequency, sbc::MSBC_SAMPLING_FREQUENCY);
        return false;
    }
    return true;
}

// True for a -F value written in decimal digits alone: no sign, blank, point or unit.
bool whole_number(const char* text) {
    if (*text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

// Refuses a -F that is not a whole number, or names no sampling frequency of SBC; the messages
// quote the value as it was given.
bool frequency_fits(const char* given, int frequency) {
    if (given == nullptr) return true;
    if (!whole_number(given)) {
        std::fprintf(stderr,
                     "\n-F %s: the sampling frequency must be a whole number of Hz: 16000, "
                     "32000, 44100 or 48000\n",
                     given);
        return false;
    }
    for (int f : sbc::SAMPLING_FREQUENCIES)
        if (frequency == f) return true;
    std::fprintf(stderr,
                 "\n-F %s: SBC has no sampling frequency of %s Hz; use 16000, 32000, 44100 or "
                 "48000\n",
                 given, given);
    return false;
}

void print_banner() {
    std::fprintf(stderr, "\nSBC Encoder LIB Version %s\n", cli::version);
    std::fprintf(stderr, "vantrel: raw SBC stream encoder, by the vantrel developers\n\n");
}

// The files named by -o. Each is created when its option is scanned (so it exists even when the
// run fails later) but emptied only once the input is known not to be one of them: the audio a
// run was asked to read is never destroyed by a swapped or repeated name. Only the last one
// receives the frames; the others stay behind, empty.
struct Outputs {
    struct Named {
        const char* name; // for messages
        std::FILE* file;
    };
    std::vector<Named> files;

    bool open(const char* name) {
        const int fd = cli::open_for_output(name);
        std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
        if (file == nullptr) {
            if (fd >= 0) close(fd);
            return false;
        }
        files.push_back({name, file});
        return true;
    }
    void close_all() {
        for (const Named& named : files) std::fclose(named.file);
        files.clear();
    }
};

// True when `stream` is the regular file that the input names (standard input for the reserved
// name), so that links and other spellings of the name count too.
bool is_input(std::FILE* stream, const char* input_name) {
    if (std::strcmp(input_name, "AUDIO_FROM_STDIN") == 0)
        return cli::output_is_input(fileno(stream), STDIN_FILENO);
    return cli::output_is_input(fileno(stream), input_name);
}

// Refuses outputs that are the input (nothing is truncated then); otherwise empties every named
// output and returns the stream that receives the frames.
std::FILE* settle_outputs(Outputs& outputs, const char* input_name) {
    const auto refused = [&](const char* name) -> std::FILE* {
        std::fprintf(stderr, "\nError opening outputfile: %s is the inputfile, left untouched\n",
                     name);
        outputs.close_all();
        return nullptr;
    };
    if (input_name != nullptr) {
        for (const auto& [name, file] : outputs.files)
            if (is_input(file, input_name)) return refused(name);
        if (outputs.files.empty() && is_input(stdout, input_name))
            return refused("standard output");
    }
    if (outputs.files.empty()) return stdout;
    for (const Outputs::Named& named : outputs.files) {
        const int fd = fileno(named.file);
        struct stat status {};
        const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        if (regular && ftruncate(fd, 0) != 0) {
            std::fprintf(stderr, "\nError opening outputfile\n");
            outputs.close_all();
            return nullptr;
        }
    }
    std::FILE* last = outputs.files.back().file;
    outputs.files.pop_back();
    outputs.close_all();
    return last;
}

// The next option, or -1 at the end of the options. The first operand is the input file
// (`input_index` receives its index; -1 while there is none), and options may stand after it
// too (`vantrel -F 44100 song.mp3 -o song.sbc`): scanning goes on behind it, up to the next
// operand or "--"; anything after that is ignored.
int next_option(int argc, char* argv[], int& input_index) {
    for (;;) {
        const int option = cli::scan(argc, argv, option_letters);
        if (option != -1) return option;
        if (input_index >= 0 || cli::scanner.option_index >= argc) return -1;
        input_index = cli::scanner.option_index++;
    }
}

// Whether -q is among the options, found before the banner is due: the command line scanned as
// main scans it, without a word said and with the scanner left as it was.
bool quiet_asked(int argc, char* argv[]) {
    const cli::ScannerState before = cli::scanner;
    cli::scanner = {};
    cli::scanner.report_errors = 0;
    bool quiet = false;
    int input_index = -1;
    for (int option; (option = next_option(argc, argv, input_index)) != -1;)
        quiet = quiet || option == 'q';
    cli::scanner = before;
    return quiet;
}

} // namespace

int main(int argc, char* argv[]) {
    if (!quiet_asked(argc, argv)) print_banner();

    cli::Settings settings;
    Outputs outputs;
    int fixed_option = 0;                  // the first option given whose setting mSBC fixes
    const char* frequency_given = nullptr; // the last -F value, as given
    int input_index = -1;
    for (int option; (option = next_option(argc, argv, input_index)) != -1;) {
        const char* value = cli::scanner.option_value;
        if (fixed_option == 0 && fixed_by_msbc(option) != nullptr) fixed_option = option;
        switch (option) {
        case 'j':
            settings.channel_mode = 3;
            break;
        case 's':
            settings.channel_mode = 2;
            break;
        case 'v':
            settings.verbose = true;
            break;
        case 'q': // the banner is left out (quiet_asked)
            break;
        case 'p':
            settings.allocation_method = 0;
            break;
        case 'm':
            settings.msbc = true;
            break;
        case 'H':
            settings.h2 = true;
            break;
        case 'l':
            settings.blk_len = cli::option_number(value);
            break;
        case 'n':
            settings.subbands = cli::option_number(value);
            break;
        case 'r':
            settings.bit_rate = cli::option_number(value);
            settings.bit_rate_given = true;
            break;
        case 'T':
            settings.threads = cli::option_number(value);
            break;
        case 'F':
            settings.frequency = whole_number(value) ? cli::option_number(value) : 0;
            frequency_given = value;
            break;
        case 'o':
            if (!outputs.open(value)) {
                std::fprintf(stderr, "\nError opening outputfile\n");
                outputs.close_all();
                return 1;
            }
            break;
        case cli::HELP_OPTION:
        case cli::VERSION_OPTION:
            cli::answer_long_option(option, usage_lines);
            outputs.close_all();
            return 0;
        default: // 'h' and every refused option
            cli::print_usage(usage_lines);
            outputs.close_all();
            return 0;
        }
    }

    const char* input_name = input_index >= 0 ? argv[input_index] : nullptr;
    std::FILE* output = settle_outputs(outputs, input_name);
    if (output == nullptr) return 1;
    if (!msbc_options_fit(settings, fixed_option)) return 1;
    if (!frequency_fits(frequency_given, settings.frequency)) return 1;

    if (settings.blk_len > max_blk_len) {
        std::fprintf(stderr, "\nblk_len: %d exceeds the maximum number: %d\n", settings.blk_len,
                     max_blk_len);
        return 1;
    }
    if (settings.threads < 0) {
        std::fprintf(stderr, "\nthreads: %d is negative (0 gives one per core)\n",
                     settings.threads);
        return 1;
    }
    if (input_name == nullptr) {
        std::fprintf(stderr, "\n%s: Specify filename for input!\n", argc > 0 ? argv[0] : "vantrel");
        return 1;
    }
    return cli::run_encoding(settings, output, input_name);
}
