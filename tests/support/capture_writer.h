// Test support: captures of Bluetooth links, written here from streams the encoder library makes,
// to check the capture reader against what went in (and against tshark).
//
//   CaptureBuilder b;                          // HCI packets in time order
//   b.l2cap(sent, 0x0001, 0x0041, payload, 200);   // an L2CAP PDU in ACL fragments of 200 bytes
//   b.sco(received, 0x0006, bytes, status);
//   write_capture(b, CaptureFormat::btsnoop_h4)    // the file's bytes
//
//   StandardCapture c = standard_capture(options);  // the scenario the tests and the bench use:
//   c.builder, c.streams[i].frames                  // and the frames each stream carries
//
// The standard scenario: connection 0x0001 with the L2CAP and AVDTP signalling of an A2DP sink
// (SET_CONFIGURATION for SBC), a media stream sent in RTP packets of several frames each (with
// CSRCs and an RTP extension on some, ACL fragments when the packet is longer than the ACL
// size, lost packets where asked), a second connection 0x0002 without signalling whose media
// packets fragment a frame across three packets, and mSBC over SCO on handles 0x0101..0x0104
// with packets of 24, 48, 60 and 72 bytes (with lost packets where asked).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

struct HciRecord {
    int64_t time_us = 0;
    bool received = false;
    uint8_t type = 0;       // H4: 1 command, 2 ACL, 3 SCO, 4 event
    std::string packet;     // the HCI packet after the type byte
    size_t kept = SIZE_MAX; // bytes of it the capture holds (fewer: cut short)
    uint16_t adapter = 0;   // the controller (Linux monitor links)
};

struct CaptureBuilder {
    std::vector<HciRecord> records;
    int64_t now_us = 1000000; // time of the next packet
    uint16_t acl_size = 1021; // ACL data bytes per fragment
    uint16_t adapter = 0;     // of the next packets

    void add(uint8_t type, bool received, std::string packet, size_t kept = SIZE_MAX);
    // An L2CAP PDU (header added) in ACL fragments of at most `fragment` bytes (0: acl_size).
    // `kept` cuts every fragment's record to that many bytes of ACL data.
    void l2cap(bool received, uint16_t handle, uint16_t cid, const std::string& payload,
               size_t fragment = 0, size_t kept = SIZE_MAX);
    void sco(bool received, uint16_t handle, const std::string& data, int status = 0);
    void connection(uint16_t handle, uint8_t link_type = 1); // Connection Complete (1: ACL)
    void disconnection(uint16_t handle);
};

enum class CaptureFormat {
    btsnoop_h4,      // datalink 1002 (Android)
    btsnoop_hci,     // datalink 1001
    btsnoop_monitor, // datalink 2001 (btmon -w)
    pcap_h4,         // link type 201
    pcap_monitor,    // link type 254
};
inline constexpr CaptureFormat all_capture_formats[] = {
    CaptureFormat::btsnoop_h4, CaptureFormat::btsnoop_hci, CaptureFormat::btsnoop_monitor,
    CaptureFormat::pcap_h4, CaptureFormat::pcap_monitor};
const char* capture_format_name(CaptureFormat format);

// The file. pcap in big-endian byte order when `big_endian`, else little-endian.
std::string write_capture(const CaptureBuilder& builder, CaptureFormat format,
                          bool big_endian = false);

// The pieces of a link.
std::string l2cap_connection_request(uint8_t id, uint16_t psm, uint16_t source_cid);
std::string l2cap_connection_response(uint8_t id, uint16_t destination_cid, uint16_t source_cid);
// SET_CONFIGURATION for SBC: byte 0 frequency|mode bits, byte 1 blocks|subbands|allocation.
std::string avdtp_set_configuration(uint8_t label, uint8_t element0, uint8_t element1,
                                    uint8_t min_bitpool, uint8_t max_bitpool);
std::string rtp_packet(uint16_t sequence, uint32_t timestamp, uint8_t media_header,
                       const std::string& frames, int csrcs = 0, bool extension = false);

// Frames of a two-tone signal from the encoder library (SBC: 44100 Hz JOINT_STEREO, 8
// subbands, 16 blocks, SNR, bitpool 53), or mSBC frames of a voice-band tone.
std::vector<std::string> tone_frames(int count, int32_t bitpool = 53);
std::vector<std::string> msbc_tone_frames(int count);

struct StandardOptions {
    bool signalling = true;         // the first connection's L2CAP and AVDTP signalling
    bool second_signalling = false; // the second connection's too (tshark needs it)
    int frames_per_packet = 5;
    int a2dp_packets = 40;
    std::set<int> lost_a2dp_packets; // indices of media packets left out
    bool second_connection = true;
    std::vector<int> sco_sizes = {24, 48, 60, 72};
    int sco_units = 40;             // H2 units per SCO stream
    std::set<int> lost_sco_packets; // indices of SCO packets left out (each stream)
    int repeat = 1;                 // the A2DP stream's packets, this many times over (bench)
};

struct ExpectedStream {
    bool msbc = false;
    uint16_t handle = 0;
    uint16_t channel = 0;            // A2DP: the CID its packets carry
    std::vector<std::string> frames; // every frame sent, lost ones included
    std::vector<bool> lost;          // per frame: left out of the capture
    int packets = 0;                 // packets in the capture
};

struct StandardCapture {
    CaptureBuilder builder;
    std::vector<ExpectedStream> streams; // in the order a reader finds them
};

StandardCapture standard_capture(const StandardOptions& options = {});

} // namespace testsupport
