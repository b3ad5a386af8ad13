// Relay datagrams in wire form, as the FR-MCU sends them: the one encoder of the tests. It writes
// the layout from its own table, not through framerelayd's codec, so that a fault in the codec
// shows as a disagreement (see boardsim/README.md, "Layouts").
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frmcu/bytes.hpp"
#include "tests/support/net.hpp"

namespace support {

inline constexpr std::size_t relay_header_size = 16;
inline constexpr std::size_t relay_record_size = 296;
inline constexpr std::uint8_t relay_no_frame = 255;  // len of a record without a frame

// One record; the bytes the relay passes on untouched get fixed patterns, as in the FR-MCU
// stand-in: A0 A1 A2 A3 at 4, B1 at 23, C0 to C5 at 26.
struct relay_record {
    std::uint32_t frame_seq = 0;
    std::uint8_t len = 2;
    std::uint16_t frame_id = 0x2A;
    std::uint32_t sec = 12;
    std::uint32_t nsec = 345000;
    std::uint32_t aux32 = 0x01020304;
    std::uint16_t aux16 = 0x0A0B;
    bytes payload = {0x01, 0x02};  // at most the 264 bytes of the data area
};

struct relay_datagram {
    std::uint32_t udp_seq = 0;
    std::vector<relay_record> records{};
    int announced = -1;          // frame_count, if not the number of records
    std::size_t cut = SIZE_MAX;  // the bytes sent, if fewer
    const char* magic = "FR01";
    std::uint32_t spare = 0;
    const char* from = "127.0.0.2";  // the sender, where a test writes a capture of it
};

// Big-endian fields at these offsets of a record (wire form).
inline void encode_record(const relay_record& r, std::uint8_t* p) {
    std::memset(p, 0, relay_record_size);
    frmcu::store_be32(p + 0, r.frame_seq);
    for (int k = 0; k < 4; ++k)
        p[4 + k] = static_cast<std::uint8_t>(0xA0 + k);
    frmcu::store_be32(p + 8, r.sec);
    frmcu::store_be32(p + 12, r.nsec);
    frmcu::store_be32(p + 16, r.aux32);
    frmcu::store_be16(p + 20, r.frame_id);
    p[22] = r.len;
    p[23] = 0xB1;
    frmcu::store_be16(p + 24, r.aux16);
    for (int k = 0; k < 6; ++k)
        p[26 + k] = static_cast<std::uint8_t>(0xC0 + k);
    std::copy_n(r.payload.begin(), std::min<std::size_t>(r.payload.size(), relay_record_size - 32),
                p + 32);
}

inline bytes encode(const relay_record& r) {
    bytes out(relay_record_size);
    encode_record(r, out.data());
    return out;
}

inline bytes encode(const relay_datagram& d) {
    bytes out(relay_header_size + d.records.size() * relay_record_size);
    std::memcpy(out.data(), d.magic, 4);
    frmcu::store_be32(&out[4], d.udp_seq);
    frmcu::store_be32(&out[8], d.announced < 0 ? static_cast<std::uint32_t>(d.records.size())
                                               : static_cast<std::uint32_t>(d.announced));
    frmcu::store_be32(&out[12], d.spare);
    for (std::size_t i = 0; i < d.records.size(); ++i)
        encode_record(d.records[i], &out[relay_header_size + i * relay_record_size]);
    if (d.cut < out.size()) out.resize(d.cut);
    return out;
}

}  // namespace support
