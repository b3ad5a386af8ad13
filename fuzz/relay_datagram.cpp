// Relay datagrams as framerelayd takes them: header conversion and magic, datagram and frame
// sequence accounting, records converted in place, dump entries.
//
// Input: datagrams one after the other, each a 16-bit big-endian length and that many bytes
// (the last one takes what is left). Lengths beyond the receive buffer are what the sender
// sent; the receive keeps the first 1518 bytes.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "framerelayd/datagram.hpp"
#include "framerelayd/sequence.hpp"
#include "fuzz/common.hpp"

namespace {

using namespace framerelayd;
using fuzz::be16;
using fuzz::be32;
using fuzz::guarded_area;

std::uint32_t host32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
std::uint16_t host16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// What a sequence check must report, from the rule itself.
struct expected_check {
    bool anomaly;
    std::uint32_t expected;
    std::uint32_t dropped;
};
expected_check frame_rule(std::uint32_t last, std::uint32_t seq) {
    const std::uint32_t expected = last + 1u;
    const bool ahead = seq > expected && expected != 0;
    return {seq != expected, expected, ahead ? seq - expected : 0u};
}

// The record bytes after conversion, field by field against the wire bytes.
void check_record(const std::uint8_t* wire, const std::uint8_t* dev, const FR_FRAME_RECORD& f) {
    FUZZ_REQUIRE(f.frame_seq == be32(wire + 0) && host32(dev + 0) == f.frame_seq);
    FUZZ_REQUIRE(std::equal(wire + 4, wire + 8, dev + 4));  // opaque0
    FUZZ_REQUIRE(f.sec == be32(wire + 8) && host32(dev + 8) == f.sec);
    FUZZ_REQUIRE(f.usec == be32(wire + 12) / 1000u && host32(dev + 12) == f.usec);
    FUZZ_REQUIRE(host32(dev + 16) == be32(wire + 16));  // aux32
    FUZZ_REQUIRE(f.frame_id == be16(wire + 20) && host16(dev + 20) == f.frame_id);
    FUZZ_REQUIRE(f.len == wire[22] && dev[22] == wire[22]);
    FUZZ_REQUIRE(dev[23] == wire[23]);  // opaque1
    FUZZ_REQUIRE(host16(dev + 24) == be16(wire + 24));
    FUZZ_REQUIRE(std::equal(wire + 26, wire + 32, dev + 26));  // opaque2
    // Whole payload words turned to host order; the rest of the data area as received.
    const std::size_t words = f.len / 4u;
    for (std::size_t k = 0; k < words; ++k)
        FUZZ_REQUIRE(host32(dev + payload_offset + 4 * k) == be32(wire + payload_offset + 4 * k));
    const std::size_t rest = payload_offset + 4 * words;
    FUZZ_REQUIRE(std::equal(wire + rest, wire + record_size, dev + rest));
}

void check_dump_entry(const std::uint8_t* dev, const FR_FRAME_RECORD& f, std::size_t size,
                      const dump_entry& entry) {
    char time_line[40];
    const int time_length =
        std::snprintf(time_line, sizeof time_line, "time: %u s %u us\n",
                      static_cast<unsigned>(f.sec), static_cast<unsigned>(f.usec));
    FUZZ_REQUIRE(size == 20 + static_cast<std::size_t>(time_length) + 3u * f.len + 11);
    FUZZ_REQUIRE(size <= entry.size());
    char fid_line[24];
    std::snprintf(fid_line, sizeof fid_line, "fid: %04X ---------\n",
                  static_cast<unsigned>(f.frame_id));
    std::string expected = std::string(fid_line) + time_line;
    for (std::size_t i = 0; i < f.len; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned>(dev[payload_offset + i]));
        expected += b;
    }
    expected += "\n---------\n";
    FUZZ_REQUIRE(std::string(entry.data(), size) == expected);
}

struct stream_model {
    relay_state state;
    std::uint32_t last_udp = 0, last_frame = 0;
    std::uint64_t drops = 0, records = 0;
    bool rising = true;  // every frame number so far above the one before, none wrapped
};

void take_datagram(stream_model& m, const std::uint8_t* data, std::size_t length) {
    guarded_area area(datagram_size);
    const std::size_t kept = std::min(length, datagram_size);
    std::memcpy(area.data(), data, kept);
    std::array<std::uint8_t, datagram_size> wire;
    std::memcpy(wire.data(), area.data(), datagram_size);
    const std::span<std::uint8_t, datagram_size> buffer(area.data(), datagram_size);

    area.fence(0, header_size);
    const FR_FRAME_HEADER h = convert_header(buffer.first<header_size>());
    area.lift();
    FUZZ_REQUIRE(h.magic == be32(&wire[0]) && h.udp_seq == be32(&wire[4]) &&
                 h.frame_count == be32(&wire[8]) && h.spare == be32(&wire[12]));
    FUZZ_REQUIRE(host32(area.data()) == h.magic && host32(area.data() + 8) == h.frame_count);
    FUZZ_REQUIRE(std::equal(wire.begin() + header_size, wire.end(), area.data() + header_size));
    if (h.magic != relay_magic) return;  // rejected: no state looked at or changed

    const relay_state before = m.state;
    const sequence_check d = check_datagram(m.state, h.udp_seq);
    FUZZ_REQUIRE(d.expected == m.last_udp + 1u && d.anomaly == (h.udp_seq != d.expected));
    FUZZ_REQUIRE(d.dropped == 0 && m.state.last_udp_seq == h.udp_seq);
    FUZZ_REQUIRE(m.state.drops == before.drops && m.state.last_frame_seq == before.last_frame_seq);
    m.last_udp = h.udp_seq;

    // Only records that arrived whole and fit the buffer; none made up from zero bytes.
    const std::size_t count = records_received(length, h.frame_count);
    const std::size_t whole = kept < header_size ? 0 : (kept - header_size) / record_size;
    FUZZ_REQUIRE(count == std::min<std::uint64_t>(h.frame_count, whole));
    FUZZ_REQUIRE(count <= max_records && header_size + count * record_size <= datagram_size);

    auto entry = std::make_unique<dump_entry>();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = header_size + i * record_size;
        std::array<std::uint8_t, datagram_size> around;
        std::memcpy(around.data(), area.data(), datagram_size);
        area.fence(at, record_size);
        const FR_FRAME_RECORD f = convert_record(record_at(buffer, i));
        area.lift();
        // Nothing outside the record changed.
        FUZZ_REQUIRE(std::equal(around.begin(), around.begin() + static_cast<std::ptrdiff_t>(at),
                                area.data()));
        FUZZ_REQUIRE(std::equal(around.begin() + static_cast<std::ptrdiff_t>(at + record_size),
                                around.end(), area.data() + at + record_size));
        check_record(&wire[at], area.data() + at, f);

        const expected_check e = frame_rule(m.last_frame, f.frame_seq);
        const sequence_check c = check_frame(m.state, f.frame_seq);
        FUZZ_REQUIRE(c.anomaly == e.anomaly && c.expected == e.expected && c.dropped == e.dropped);
        m.rising = m.rising && f.frame_seq > m.last_frame;
        m.last_frame = f.frame_seq;
        m.drops += e.dropped;
        ++m.records;
        FUZZ_REQUIRE(m.state.drops == m.drops && m.state.last_frame_seq == f.frame_seq);
        FUZZ_REQUIRE(m.state.last_udp_seq == m.last_udp);
        // Numbers that only rise lose exactly the frames they skip.
        if (m.rising) FUZZ_REQUIRE(m.drops == m.last_frame - m.records);

        if (f.len == no_frame_length) continue;  // never written, never dumped
        area.fence(at, record_size);
        const std::size_t size = format_dump_entry(record_at(buffer, i), f, *entry);
        area.lift();
        check_dump_entry(area.data() + at, f, size, *entry);
    }
    // Records beyond those handled are left as received.
    const std::size_t end = header_size + count * record_size;
    FUZZ_REQUIRE(
        std::equal(wire.begin() + static_cast<std::ptrdiff_t>(end), wire.end(), area.data() + end));
    FUZZ_REQUIRE(area.guards_intact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stream_model m;
    std::size_t at = 0;
    while (at < size) {
        std::size_t length = size - at;
        if (length >= 2) {
            length = std::min<std::size_t>(be16(data + at), length - 2);
            at += 2;
        }
        // An empty datagram is not looked at.
        if (length > 0) take_datagram(m, data + at, length);
        at += length;
    }
    return 0;
}
