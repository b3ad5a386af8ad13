// FR-MCU link: where the board's FlexRay controller is reached and how it is reset.
#pragma once

#include <cstdint>

namespace frmcu {

// Node control protocol, TCP on the FR-MCU.
inline constexpr int control_port = 29050;
// Time-stamp datagrams, UDP on the FR-MCU.
inline constexpr int time_port = 29051;
// Relay datagrams, UDP on the host.
inline constexpr int relay_port = 29052;

// Host interface of the dedicated Ethernet link.
inline constexpr const char* link_interface = "eth2";
// Reset line of the FR-MCU, active low.
inline constexpr int reset_gpio = 63;

// Both ends of the link live in one private /24.
inline constexpr const char* default_mcu_address = "192.168.80.10";
inline constexpr const char* default_host_address = "192.168.80.1";

}  // namespace frmcu
