// Writes the standard test capture (capture_writer.h) to a file, for looking at it with tshark
// and for the capture benchmark.
//
//   make_capture FORMAT OUT [REPEAT]
//     FORMAT  btsnoop (1002), btsnoop-hci (1001), btsnoop-monitor (2001), pcap (201),
//             pcap-be (201, big-endian), pcap-monitor (254)
//     REPEAT  the A2DP stream this many times over (REPEAT × 40 packets); 1 by default
#include "capture_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

int main(int argc, char* argv[]) {
    using testsupport::CaptureFormat;
    struct Named {
        const char* name;
        CaptureFormat format;
        bool big;
    };
    constexpr Named formats[] = {{"btsnoop", CaptureFormat::btsnoop_h4, false},
                                 {"btsnoop-hci", CaptureFormat::btsnoop_hci, false},
                                 {"btsnoop-monitor", CaptureFormat::btsnoop_monitor, false},
                                 {"pcap", CaptureFormat::pcap_h4, false},
                                 {"pcap-be", CaptureFormat::pcap_h4, true},
                                 {"pcap-monitor", CaptureFormat::pcap_monitor, false}};
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_capture FORMAT OUT [REPEAT]\n");
        return 2;
    }
    for (const Named& n : formats) {
        if (std::strcmp(argv[1], n.name) != 0) continue;
        testsupport::StandardOptions options;
        if (argc > 3) options.repeat = std::max(1, std::atoi(argv[3]));
        const auto capture = testsupport::standard_capture(options);
        std::ofstream(argv[2], std::ios::binary)
            << testsupport::write_capture(capture.builder, n.format, n.big);
        return 0;
    }
    std::fprintf(stderr, "make_capture: unknown format %s\n", argv[1]);
    return 2;
}
