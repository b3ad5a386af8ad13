// Datagram conversion, dump entries and sequence accounting. The board and the development
// machine are both little-endian; the expected device bytes are written for that.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "framerelayd/datagram.hpp"
#include "framerelayd/sequence.hpp"
#include "frmcu/bytes.hpp"
#include "tests/support/relay.hpp"

namespace {

using namespace framerelayd;
using support::bytes;

static_assert(std::endian::native == std::endian::little);

// A record in wire form, as the tests' one encoder writes it.
std::array<std::uint8_t, record_size> wire_record(const support::relay_record& fields) {
    std::array<std::uint8_t, record_size> r{};
    support::encode_record(fields, r.data());
    return r;
}

TEST(Conversion, WorkedExampleIsByteExact) {
    std::array<std::uint8_t, datagram_size> d{};
    const bytes header = {0x46, 0x52, 0x30, 0x31, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};
    std::copy(header.begin(), header.end(), d.begin());
    const auto wire = wire_record({.frame_seq = 1});
    const bytes wire_start = {0x00, 0x00, 0x00, 0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0x00,
                              0x00, 0x00, 0x0C, 0x00, 0x05, 0x43, 0xA8, 0x01, 0x02,
                              0x03, 0x04, 0x00, 0x2A, 0x02, 0xB1, 0x0A, 0x0B, 0xC0,
                              0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0x01, 0x02, 0x00, 0x00};
    EXPECT_EQ(bytes(wire.begin(), wire.begin() + 36), wire_start);  // the encoder, pinned
    std::copy(wire.begin(), wire.end(), d.begin() + header_size);

    const FR_FRAME_HEADER h = convert_header(std::span(d).first<header_size>());
    EXPECT_EQ(h.magic, relay_magic);
    EXPECT_EQ(h.udp_seq, 1u);
    EXPECT_EQ(h.frame_count, 1u);
    EXPECT_EQ(records_received(312, h.frame_count), 1u);

    const FR_FRAME_RECORD f = convert_record(record_at(d, 0));
    EXPECT_EQ(f.frame_seq, 1u);
    EXPECT_EQ(f.sec, 12u);
    EXPECT_EQ(f.usec, 345u);
    EXPECT_EQ(f.frame_id, 0x2A);
    EXPECT_EQ(f.len, 2);

    const bytes device_start = {0x01, 0x00, 0x00, 0x00, 0xA0, 0xA1, 0xA2, 0xA3, 0x0C,
                                0x00, 0x00, 0x00, 0x59, 0x01, 0x00, 0x00, 0x04, 0x03,
                                0x02, 0x01, 0x2A, 0x00, 0x02, 0xB1, 0x0B, 0x0A, 0xC0,
                                0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0x01, 0x02, 0x00, 0x00};
    const auto rec = record_at(d, 0);
    EXPECT_EQ(bytes(rec.begin(), rec.begin() + 36), device_start);
    EXPECT_TRUE(std::all_of(rec.begin() + 36, rec.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(Conversion, TimeStampTruncatesToMicroseconds) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {1000, 1}, {999, 0}, {0, 0}, {999999999, 999999}, {4294967295u, 4294967}};
    for (auto [nsec, usec] : cases) {
        auto r = wire_record({.frame_seq = 1, .len = 0, .nsec = nsec, .payload = {}});
        EXPECT_EQ(convert_record(r).usec, usec) << nsec;
        EXPECT_EQ(frmcu::load_le32(&r[12]), usec) << nsec;
    }
}

TEST(Conversion, OnlyWholePayloadWordsAreSwappedAndNothingBeyond) {
    bytes area(264);
    for (std::size_t k = 0; k < area.size(); ++k)
        area[k] = static_cast<std::uint8_t>(k + 1);
    for (unsigned len : {0u, 3u, 4u, 6u, 253u, 254u}) {
        auto r = wire_record(
            {.frame_seq = 9, .len = static_cast<std::uint8_t>(len), .nsec = 0, .payload = area});
        convert_record(r);
        bytes expected = area;
        for (std::size_t w = 0; w < len / 4; ++w)
            std::reverse(expected.begin() + 4 * w, expected.begin() + 4 * w + 4);
        EXPECT_EQ(bytes(r.begin() + payload_offset, r.end()), expected) << "len " << len;
        // Opaque bytes pass untouched.
        EXPECT_EQ(bytes(r.begin() + 4, r.begin() + 8), (bytes{0xA0, 0xA1, 0xA2, 0xA3}));
        EXPECT_EQ(r[23], 0xB1);
        EXPECT_EQ(bytes(r.begin() + 26, r.begin() + 32),
                  (bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5}));
    }
}

TEST(Conversion, MagicIsReadAsABigEndianNumber) {
    std::array<std::uint8_t, header_size> h{'F', 'R', '0', '2'};
    EXPECT_EQ(convert_header(h).magic, 0x46523032u);
}

TEST(Conversion, OnlyRecordsThatArrivedWholeAreHandled) {
    struct {
        std::size_t received;
        std::uint32_t frame_count;
        std::size_t handled;
    } const cases[] = {
        {16, 0, 0},                  // no records
        {312, 1, 1},                 // exactly one
        {311, 1, 0},                 // one byte short
        {16 + 2 * 296 - 100, 2, 1},  // second record cut
        {16 + 5 * 296, 5, 5},        // full datagram
        {16 + 5 * 296, 3, 3},        // more bytes than announced
        {1518, 9, 5},                // announces more than fit
        {1518, 0xFFFFFFFF, 5},       //
        {4000, 9, 5},                // longer than the buffer
        {10, 1, 0},                  // not even a header
        {0, 3, 0},                   //
    };
    for (const auto& c : cases)
        EXPECT_EQ(records_received(c.received, c.frame_count), c.handled)
            << c.received << " bytes, " << c.frame_count << " announced";
}

std::string dump_of(std::uint16_t frame_id, std::uint32_t sec, std::uint32_t usec,
                    const bytes& payload) {
    std::array<std::uint8_t, record_size> r{};
    std::copy(payload.begin(), payload.end(), r.begin() + payload_offset);
    const FR_FRAME_RECORD f{1, sec, usec, frame_id, static_cast<std::uint8_t>(payload.size())};
    dump_entry out;
    return std::string(out.data(), format_dump_entry(r, f, out));
}

TEST(DumpEntry, MatchesTheTextFormat) {
    EXPECT_EQ(dump_of(0x2A, 12, 345, {0x01, 0x02}),
              "fid: 002A ---------\ntime: 12 s 345 us\n01 02 \n---------\n");
    EXPECT_EQ(dump_of(0, 0, 0, {}), "fid: 0000 ---------\ntime: 0 s 0 us\n\n---------\n");

    // The longest entry, against printf.
    bytes payload(254);
    for (std::size_t k = 0; k < payload.size(); ++k)
        payload[k] = static_cast<std::uint8_t>(k * 7);
    std::string expected = "fid: FFFF ---------\ntime: 4294967295 s 4294967295 us\n";
    for (auto b : payload) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", b);
        expected += hex;
    }
    expected += "\n---------\n";
    EXPECT_EQ(dump_of(0xFFFF, 4294967295u, 4294967295u, payload), expected);
    EXPECT_LE(expected.size(), dump_entry_capacity);
}

struct frame_case {
    const char* name;
    std::vector<std::uint32_t> seqs;
    std::vector<bool> anomalies;
    std::uint64_t drops;
    std::uint32_t next_expected;
};

TEST(Accounting, FrameSequenceGapsCountAsDrops) {
    const frame_case cases[] = {
        {"in order", {1, 2, 3}, {false, false, false}, 0, 4},
        {"first is 1000", {1000}, {true}, 999, 1001},
        {"gap of two", {1, 2, 3, 6}, {false, false, false, true}, 2, 7},
        {"behind adds nothing", {5, 3, 4}, {true, true, false}, 4, 5},
        {"restart", {1, 2, 3, 1, 2}, {false, false, false, true, false}, 0, 3},
        {"repeat", {1, 2, 2, 3}, {false, false, true, false}, 0, 4},
        {"wrap is in order", {0xFFFFFFFE, 0xFFFFFFFF, 0}, {true, false, false}, 0xFFFFFFFD, 1},
        {"no gap after 0xFFFFFFFF", {0xFFFFFFFF, 10}, {true, true}, 0xFFFFFFFE, 11},
        // Drops past 2^32 in all are still counted exactly.
        {"beyond 32 bits",
         {0xF0000000, 1, 0xF0000000},
         {true, true, true},
         std::uint64_t{0xEFFFFFFF} + 0xEFFFFFFE,
         0xF0000001},
    };
    for (const auto& c : cases) {
        relay_state s;
        for (std::size_t i = 0; i < c.seqs.size(); ++i) {
            const auto before = s.drops;
            const sequence_check r = check_frame(s, c.seqs[i]);
            EXPECT_EQ(r.anomaly, c.anomalies[i]) << c.name << " #" << i;
            EXPECT_EQ(s.drops - before, r.dropped) << c.name << " #" << i;
        }
        EXPECT_EQ(s.drops, c.drops) << c.name;
        EXPECT_EQ(check_frame(s, c.next_expected).anomaly, false) << c.name;
    }
}

TEST(Accounting, DatagramSequenceIsWatchedButNeverCounted) {
    relay_state s;
    auto r = check_datagram(s, 5);
    EXPECT_TRUE(r.anomaly);
    EXPECT_EQ(r.expected, 1u);
    EXPECT_FALSE(check_datagram(s, 6).anomaly);
    EXPECT_TRUE(check_datagram(s, 6).anomaly);  // repeat
    EXPECT_TRUE(check_datagram(s, 0xFFFFFFFF).anomaly);
    EXPECT_FALSE(check_datagram(s, 0).anomaly);
    EXPECT_EQ(s.drops, 0u);
}

}  // namespace
