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

// Both checks run once a datagram or a record on the relay's path: inline, so that their
// results stay in registers.

// A datagram's udp_seq: reports a gap or repeat, counts nothing, always moves on.
inline sequence_check check_datagram(relay_state& state, std::uint32_t udp_seq) {
    const std::uint32_t expected = state.last_udp_seq + 1u;
    state.last_udp_seq = udp_seq;
    return {udp_seq != expected, expected, 0};
}

// A record's frame_seq (no-frame records too): a number ahead of the expected one counts the
// frames in between as drops, except right after 0xFFFFFFFF; a number behind it (a restart or
// a repeat) counts nothing. Always moves on.
inline sequence_check check_frame(relay_state& state, std::uint32_t frame_seq) {
    const std::uint32_t expected = state.last_frame_seq + 1u;
    state.last_frame_seq = frame_seq;
    if (frame_seq == expected) return {false, expected, 0};
    const std::uint32_t dropped = frame_seq > expected && expected != 0 ? frame_seq - expected : 0;
    state.drops += dropped;
    return {true, expected, dropped};
}

}  // namespace framerelayd
