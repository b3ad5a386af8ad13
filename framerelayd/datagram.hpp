// Relay datagrams: the wire form the FR-MCU sends (big-endian, nanoseconds) and the device form
// written to the virtual FlexRay device (host order, microseconds), converted in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "frmcu/bytes.hpp"

namespace framerelayd {

// A datagram: the header, then frame_count records back to back. Every field of more than one
// byte is big-endian on the wire; the conversion turns them to host order in place.
//
//   header (16 bytes)             record (296 bytes)
//   offset size field             offset size field      on the device
//        0    4 magic "FR01"           0    4 frame_seq  host order
//        4    4 udp_seq                4    4 (opaque)   as received
//        8    4 frame_count            8    4 sec        host order
//       12    4 spare                 12    4 nsec       microseconds, host order
//                                     16    4 aux32      host order
//                                     20    2 frame_id   host order
//                                     22    1 len        as received; 255: no frame
//                                     23    1 (opaque)   as received
//                                     24    2 aux16      host order
//                                     26    6 (opaque)   as received
//                                     32  264 payload    whole 32-bit words of the len bytes
//                                                        in host order, the rest as received
//
// A worked example, frame 1 of 2 bytes: on the wire
//   00 00 00 01  A0 A1 A2 A3  00 00 00 0C  00 05 43 A8  01 02 03 04  00 2A  02  B1  0A 0B
//   C0 C1 C2 C3 C4 C5  01 02 00 00 ...
// (12 s and 345000 ns) becomes on the device (little-endian)
//   01 00 00 00  A0 A1 A2 A3  0C 00 00 00  59 01 00 00  04 03 02 01  2A 00  02  B1  0B 0A
//   C0 C1 C2 C3 C4 C5  01 02 00 00 ...
// (345 us; the payload holds no whole word, so it stays as it came).
inline constexpr std::size_t datagram_size = 1518;  // receive buffer
inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t record_size = 296;

namespace header_field {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t udp_seq = 4;
inline constexpr std::size_t frame_count = 8;
inline constexpr std::size_t spare = 12;
}  // namespace header_field

namespace record_field {
inline constexpr std::size_t frame_seq = 0;
inline constexpr std::size_t sec = 8;
inline constexpr std::size_t nsec = 12;  // usec on the device
inline constexpr std::size_t aux32 = 16;
inline constexpr std::size_t frame_id = 20;
inline constexpr std::size_t len = 22;
inline constexpr std::size_t aux16 = 24;
inline constexpr std::size_t payload = 32;
}  // namespace record_field
inline constexpr std::size_t payload_offset = record_field::payload;
inline constexpr std::size_t max_records = (datagram_size - header_size) / record_size;
inline constexpr std::uint32_t relay_magic = 0x46523031;  // "FR01"
inline constexpr std::uint8_t no_frame_length = 255;
inline constexpr int max_frame_length = 254;

// FR_FRAME_HEADER, in host order.
struct FR_FRAME_HEADER {
    std::uint32_t magic;
    std::uint32_t udp_seq;
    std::uint32_t frame_count;
    std::uint32_t spare;
};

// The fields of an FR_FRAME_RECORD that the relay looks at, in host order (time in microseconds).
struct FR_FRAME_RECORD {
    std::uint32_t frame_seq;
    std::uint32_t sec;
    std::uint32_t usec;
    std::uint16_t frame_id;
    std::uint8_t len;
};

using record_bytes = std::span<std::uint8_t, record_size>;

// Converts the header at the start of `datagram` to host order in place and returns it.
FR_FRAME_HEADER convert_header(std::span<std::uint8_t, header_size> datagram);

// In place, wire order to host order (whatever a plain store gives).
namespace byte_order {
inline std::uint32_t be32_to_host(std::uint8_t* p) {
    const std::uint32_t v = frmcu::load_be32(p);
    std::memcpy(p, &v, sizeof v);
    return v;
}
inline std::uint16_t be16_to_host(std::uint8_t* p) {
    const std::uint16_t v = frmcu::load_be16(p);
    std::memcpy(p, &v, sizeof v);
    return v;
}
inline void store_host32(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}
}  // namespace byte_order

// Converts one record from wire to device form in place and returns its fields. Inline: it
// runs once a record on the relay's path.
inline FR_FRAME_RECORD convert_record(record_bytes record) {
    using namespace byte_order;
    std::uint8_t* const r = record.data();
    FR_FRAME_RECORD f{};
    f.frame_seq = be32_to_host(r + record_field::frame_seq);
    f.sec = be32_to_host(r + record_field::sec);
    f.usec = frmcu::load_be32(r + record_field::nsec) / 1000;
    store_host32(r + record_field::nsec, f.usec);
    be32_to_host(r + record_field::aux32);
    f.frame_id = be16_to_host(r + record_field::frame_id);
    f.len = r[record_field::len];
    be16_to_host(r + record_field::aux16);
    // Whole payload words only; a trailing part word stays as received. 255 / 4 words of a
    // no-frame record still lie within the data area.
    const std::size_t words = f.len / 4u;
    for (std::size_t k = 0; k < words; ++k)
        be32_to_host(r + payload_offset + 4 * k);
    return f;
}

// Record i of a datagram buffer.
inline record_bytes record_at(std::span<std::uint8_t, datagram_size> datagram, std::size_t i) {
    return record_bytes(datagram.data() + header_size + i * record_size, record_size);
}

// Number of records to handle: those the header announces that arrived whole (`received` bytes
// in all) and fit the buffer. Records that did not arrive are never made up from zero bytes.
std::size_t records_received(std::size_t received, std::uint32_t frame_count);

// One dump entry: "fid: %04X ---------\n", "time: %u s %u us\n", "%02X " per payload byte,
// "\n---------\n". Large enough for the longest payload.
inline constexpr std::size_t dump_entry_capacity = 20 + 33 + 3 * max_frame_length + 11;
using dump_entry = std::array<char, dump_entry_capacity>;

// Formats the dump entry of a converted record; returns its length.
std::size_t format_dump_entry(record_bytes record, FR_FRAME_RECORD fields, dump_entry& out);

}  // namespace framerelayd
