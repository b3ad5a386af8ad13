// When clockcast sends and how long it then sleeps, decided from one clock reading.
#pragma once

#include <cstdint>

namespace clockcast {

inline constexpr std::int64_t ns_per_second = 1000000000;
// A stamp goes out only strictly inside (half second, 0.95 s): early enough in the second for
// the FR-MCU to apply it before its next PPS edge.
inline constexpr std::int64_t send_after_ns = 500000000;
inline constexpr std::int64_t send_before_ns = 950000000;

struct step {
    bool send;              // send a stamp of this reading now
    std::int64_t sleep_ns;  // then sleep this long (less than a second)
};

// `ns`: the nanoseconds within the second of the reading (0 to 999999999). The sleep ends at
// the next half second, so each wake-up computes afresh and errors do not add up.
step next_step(std::int64_t ns);

}  // namespace clockcast
