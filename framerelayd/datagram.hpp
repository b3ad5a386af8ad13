// Relay datagrams: the wire form the FR-MCU sends (big-endian, nanoseconds) and the device form
// written to the virtual FlexRay device (host order, microseconds), converted in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace framerelayd {

inline constexpr std::size_t datagram_size = 1518;  // receive buffer
inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t record_size = 296;
inline constexpr std::size_t payload_offset = 32;
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

// Converts one record from wire to device form in place and returns its fields.
FR_FRAME_RECORD convert_record(record_bytes record);

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
std::size_t format_dump_entry(record_bytes record, const FR_FRAME_RECORD& fields, dump_entry& out);

}  // namespace framerelayd
