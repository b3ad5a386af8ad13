// The time-stamp datagram: seconds, nanoseconds and the force word, 32 bits each,
// little-endian, nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace clockcast {

inline constexpr std::size_t datagram_size = 12;
using datagram = std::array<std::uint8_t, datagram_size>;

// One stamp. The FR-MCU takes the seconds as a signed 32-bit field: it gets their low 32 bits.
datagram encode_stamp(std::int64_t seconds, std::int64_t nanoseconds, bool force);

}  // namespace clockcast
