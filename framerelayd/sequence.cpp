#include "framerelayd/sequence.hpp"

namespace framerelayd {

sequence_check check_datagram(relay_state& state, std::uint32_t udp_seq) {
    const std::uint32_t expected = state.last_udp_seq + 1u;
    state.last_udp_seq = udp_seq;
    return {udp_seq != expected, expected, 0};
}

sequence_check check_frame(relay_state& state, std::uint32_t frame_seq) {
    const std::uint32_t expected = state.last_frame_seq + 1u;
    state.last_frame_seq = frame_seq;
    if (frame_seq == expected) return {false, expected, 0};
    const std::uint32_t dropped = frame_seq > expected && expected != 0 ? frame_seq - expected : 0;
    state.drops += dropped;
    return {true, expected, dropped};
}

}  // namespace framerelayd
