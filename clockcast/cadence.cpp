#include "clockcast/cadence.hpp"

namespace clockcast {

step next_step(std::int64_t ns) {
    if (ns > send_after_ns) return {ns < send_before_ns, ns_per_second + send_after_ns - ns};
    return {false, send_after_ns - ns};
}

}  // namespace clockcast
