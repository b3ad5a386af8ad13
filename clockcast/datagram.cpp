#include "clockcast/datagram.hpp"

#include "frmcu/bytes.hpp"

namespace clockcast {

datagram encode_stamp(std::int64_t seconds, std::int64_t nanoseconds, bool force) {
    // Narrowing to int32_t wraps modulo 2^32; the field's bits are those of the low 32 bits.
    const auto sec = static_cast<std::int32_t>(seconds);
    const auto nsec = static_cast<std::int32_t>(nanoseconds);
    datagram d{};
    frmcu::store_le32(&d[0], static_cast<std::uint32_t>(sec));
    frmcu::store_le32(&d[4], static_cast<std::uint32_t>(nsec));
    frmcu::store_le32(&d[8], force ? 1u : 0u);
    return d;
}

}  // namespace clockcast
