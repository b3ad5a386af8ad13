#include "framerelayd/datagram.hpp"

#include <cstring>

namespace framerelayd {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

char* put_text(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

char* put_decimal(char* out, std::uint32_t v) {
    char digits[10];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

}  // namespace

FR_FRAME_HEADER convert_header(std::span<std::uint8_t, header_size> datagram) {
    using namespace byte_order;
    FR_FRAME_HEADER h{};
    h.magic = be32_to_host(&datagram[header_field::magic]);
    h.udp_seq = be32_to_host(&datagram[header_field::udp_seq]);
    h.frame_count = be32_to_host(&datagram[header_field::frame_count]);
    h.spare = be32_to_host(&datagram[header_field::spare]);
    return h;
}

std::size_t records_received(std::size_t received, std::uint32_t frame_count) {
    if (received > datagram_size) received = datagram_size;
    const std::size_t whole = received < header_size ? 0 : (received - header_size) / record_size;
    return frame_count < whole ? frame_count : whole;
}

// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
std::size_t format_dump_entry(record_bytes record, FR_FRAME_RECORD fields, dump_entry& out) {
    char* p = out.data();
    p = put_text(p, "fid: ", 5);
    for (int shift = 12; shift >= 0; shift -= 4)
        *p++ = hex_digits[(fields.frame_id >> shift) & 0xF];
    p = put_text(p, " ---------\ntime: ", 17);
    p = put_decimal(p, fields.sec);
    p = put_text(p, " s ", 3);
    p = put_decimal(p, fields.usec);
    p = put_text(p, " us\n", 4);
    const std::size_t len = fields.len < max_frame_length ? fields.len : max_frame_length;
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t b = record[payload_offset + i];
        *p++ = hex_digits[b >> 4];
        *p++ = hex_digits[b & 0xF];
        *p++ = ' ';
    }
    p = put_text(p, "\n---------\n", 11);
    return static_cast<std::size_t>(p - out.data());
}

}  // namespace framerelayd
