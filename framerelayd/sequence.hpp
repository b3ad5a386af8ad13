// Sequence accounting: the datagram sequence is only watched, gaps in the frame sequence are
// counted as dropped frames.
#pragma once

#include <cstdint>

namespace framerelayd {

// Counters are 64-bit so that a daemon running for months never shows a wrapped count.
struct relay_state {
    std::uint32_t last_udp_seq = 0;
    std::uint32_t last_frame_seq = 0;
    std::uint64_t frames_sent = 0;
    std::uint64_t drops = 0;
};

struct sequence_check {
    bool anomaly;            // the number was not the expected one
    std::uint32_t expected;  // last + 1, modulo 2^32
    std::uint32_t dropped;   // frames counted as lost by this number
};

// A datagram's udp_seq: reports a gap or repeat, counts nothing, always moves on.
sequence_check check_datagram(relay_state& state, std::uint32_t udp_seq);

// A record's frame_seq (no-frame records too): a number ahead of the expected one counts the
// frames in between as drops, except right after 0xFFFFFFFF; a number behind it (a restart or
// a repeat) counts nothing. Always moves on.
sequence_check check_frame(relay_state& state, std::uint32_t frame_seq);

}  // namespace framerelayd
