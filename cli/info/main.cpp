// vantrel-info: what a stream of SBC or mSBC frames holds.
//
//   vantrel-info [-qv] inputfile
//   vantrel-info --help | --version           the usage or the version, on standard output
//
// The report goes to standard output as "key: value" lines (stream_report.h); -v puts one line
// per frame (offset, length, parameters, CRC verdict), per run of skipped bytes and per gap of
// lost H2 units before it. Exit status: 0 when the stream holds a frame, 1 when it holds none
// or cannot be read (the report of what was read is printed all the same).
#include "cli/common/input.h"
#include "cli/common/options.h"
#include "cli/common/report.h"
#include "cli/info/capture_report.h"
#include "cli/info/stream_report.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::array usage_lines = {
    "Usage: vantrel-info [-qv] inputfile\n",
    "  -v          one line per frame: offset, length, parameters, CRC verdict\n",
    "  -q          quiet, as for vantrel (this program prints no banner)\n",
    "  inputfile   SBC or mSBC frames, bare or in H2 units, or a capture of a Bluetooth link\n",
    "              (btsnoop, pcap, pcapng); - or AUDIO_FROM_STDIN reads standard input\n",
    "  --help, --version  print this usage or the version on standard output\n",
};

// Reads the whole stream into the report. false when a read failed (and was reported).
bool read_stream(cli::Input& input, bool verbose, cli::StreamReport& report) {
    auto scanner = sbc::scanner_create();
    for (;;) {
        const sbc::ScanEvent e = sbc::scanner_next(*scanner);
        if (e.type == sbc::ScanEventType::end) break;
        if (e.type == sbc::ScanEventType::need_input) {
            if (cli::feed_scanner(input, *scanner) == cli::Feed::failed) return false;
            continue;
        }
        if (verbose) cli::print_event_line(report, e, stdout);
        cli::add_event(report, e);
    }
    report.kind = scanner->kind;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    cli::program_name = "vantrel-info";
    bool verbose = false;
    for (int option; (option = cli::scan(argc, argv, "qvh")) != -1;) {
        if (cli::answer_long_option(option, usage_lines)) return 0;
        if (option == 'v') {
            verbose = true;
        } else if (option != 'q') { // -q: there is no banner to leave out
            cli::print_usage(usage_lines);
            return option == 'h' ? 0 : 1;
        }
    }
    const char* name = cli::input_operand(argc, argv);
    if (name == nullptr) {
        cli::report("no inputfile given");
        cli::print_usage(usage_lines);
        return 1;
    }
    cli::Input input;
    if (!cli::open_input(name, input)) return 1;
    bool failed = false;
    if (cli::input_is_capture(input, failed) || failed) {
        const int status = failed ? 1 : cli::report_capture(input, verbose);
        cli::close_input(input);
        return status;
    }
    cli::StreamReport report;
    const bool read = read_stream(input, verbose, report);
    cli::close_input(input);
    cli::print_report(report, stdout);
    if (read && report.frames == 0)
        cli::report("no SBC or mSBC frame found in %s", input.name.c_str());
    return read && report.frames > 0 ? 0 : 1;
}
