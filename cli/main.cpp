// Entry point: banner, options, usage, the early checks, then the encoding run.
//
//   vantrel [-jsv] [-lblk_len] [-nsubbands] [-p] [-rrate] [-ooutputfile] inputfile
//
// Everything this file prints goes to standard error; standard output carries only frames.
// Exit status: 0 after a run (or after printing the usage), 1 after any refusal.
#include "cli/options.h"
#include "cli/settings.h"

#include <array>
#include <cstdio>

namespace {

constexpr const char* version = "1.5";
constexpr int max_blk_len = 16;

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
    "            inputfile specifies the audio input file, the major audio formats are supported\n",
};

void print_banner() {
    std::fprintf(stderr, "\nSBC Encoder LIB Version %s\n", version);
    std::fprintf(stderr, "vantrel: raw SBC stream encoder, by the vantrel developers\n\n");
}

void print_usage() {
    for (const char* line : usage_lines) std::fputs(line, stderr);
}

// Makes a newly named output file the stream that receives the frames. A file named earlier
// stays behind, empty, as it was created.
bool open_output(const char* name, std::FILE*& output) {
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) return false;
    if (output != stdout) std::fclose(output);
    output = file;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    print_banner();

    cli::Settings settings;
    std::FILE* output = stdout;
    for (int option; (option = cli::scan(argc, argv, "jl:n:o:pr:svh")) != -1;) {
        const char* value = cli::scanner.option_value;
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
        case 'p':
            settings.allocation_method = 0;
            break;
        case 'l':
            settings.blk_len = cli::option_number(value);
            break;
        case 'n':
            settings.subbands = cli::option_number(value);
            break;
        case 'r':
            settings.bit_rate = cli::option_number(value);
            break;
        case 'o':
            if (!open_output(value, output)) {
                std::fprintf(stderr, "\nError opening outputfile\n");
                return 1;
            }
            break;
        default: // 'h' and every refused option
            print_usage();
            return 0;
        }
    }

    if (settings.blk_len > max_blk_len) {
        std::fprintf(stderr, "\nblk_len: %d exceeds the maximum number: %d\n", settings.blk_len,
                     max_blk_len);
        return 1;
    }
    if (cli::scanner.option_index >= argc) {
        std::fprintf(stderr, "\n%s: Specify filename for input!\n", argc > 0 ? argv[0] : "vantrel");
        return 1;
    }
    return cli::run_encoding(settings, output, argv[cli::scanner.option_index]);
}
