// The pure parts of schedcfg: framing, answers, start-sequence search, body checks, texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schedcfg/cli.hpp"
#include "schedcfg/lin_protocol.hpp"
#include "schedcfg/lines.hpp"
#include "tests/support/bytes.hpp"

namespace {

using namespace schedcfg;
using support::bytes;
using support::hex;

TEST(CommandMessage, FramingLomAndChecksum) {
    struct {
        std::uint8_t type;
        bytes args;
        bytes wire;
    } cases[] = {
        {2, {0, 1, 0, 1}, hex("7e7e7ea7 06 02 00 01 00 01 04")},
        {3, {10, 0, 0, 3, 1, 2, 3}, hex("7e7e7ea7 09 03 0a 00 00 03 01 02 03 03")},
        {5, {}, hex("7e7e7ea7 02 05 07")},
        {6, {}, hex("7e7e7ea7 02 06 04")},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, command_buffer_size> buf{};
        const std::size_t n = build_command(buf, c.type, c.args);
        EXPECT_EQ(bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)), c.wire);
    }
}

TEST(CommandMessage, AtMost249ArgumentsFit) {
    std::array<std::uint8_t, command_buffer_size> buf{};
    const bytes ones(249, 1);
    ASSERT_EQ(build_command(buf, 3, ones), 256u);
    EXPECT_EQ(buf[4], 251);
    EXPECT_EQ(buf[255], 251 ^ 3 ^ 1);  // an odd number of ones
    EXPECT_EQ(build_command(buf, 3, bytes(250, 1)), 0u);
}

TEST(Answer, StartSequenceThenErrorCode) {
    struct {
        bytes received;
        answer result;
        std::uint8_t code;
        bytes head;
    } cases[] = {
        {hex("7e7e7ea7 00"), answer::accepted, 0, hex("7e7e7ea7")},
        {hex("7e7e7ea7 05"), answer::rejected, 5, hex("7e7e7ea7")},
        {hex("7e7ea7 00 00"), answer::bad_start, 0, hex("7e7ea700")},  // no resync
        {hex("00 7e7e7e a7"), answer::bad_start, 0, hex("007e7e7e")},
        // Short answers: what did not arrive counts as zero, even a whole start sequence.
        {hex("7e7e7e"), answer::bad_start, 0, hex("7e7e7e00")},
        {hex("7e7e7ea7"), answer::bad_start, 0, hex("7e7e7ea7")},
        {hex("7e"), answer::bad_start, 0, hex("7e000000")},
    };
    for (const auto& c : cases) {
        const answer_check a = check_answer(c.received);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.error_code, c.code);
        EXPECT_EQ(bytes(a.head.begin(), a.head.end()), c.head);
    }
}

// Feeds bytes to the search; returns where it found a start sequence (-1: not found) and the
// bytes it discarded.
struct search_run {
    int found_at = -1;
    bytes discarded;
};
search_run search(int& counter, const bytes& input) {
    search_run r;
    for (std::size_t k = 0; k < input.size(); ++k) {
        const search_step s = search_byte(counter, input[k]);
        if (s == search_step::discarded) r.discarded.push_back(input[k]);
        if (s == search_step::found) {
            r.found_at = static_cast<int>(k);
            break;
        }
    }
    return r;
}

TEST(StartSequenceSearch, CountsSevenEsAndResetsOnOtherBytes) {
    struct {
        bytes input;
        int found_at;
        bytes discarded;
        int counter_after;
    } cases[] = {
        {hex("7e7e7ea7"), 3, {}, 0},
        {hex("7e7e7e7e7ea7"), 5, {}, 0},             // more than three 7E
        {hex("7e7ea7 7ea7"), 4, {}, 0},              // early A7 passed over, counter kept
        {hex("7e7e55 7ea7"), -1, hex("55"), 1},      // 55 resets
        {hex("a7 7e7e7e 01 a7"), -1, hex("01"), 0},  //
        {hex("5a 05 7e7e7ea7"), 5, hex("5a05"), 0},
    };
    for (const auto& c : cases) {
        int counter = 0;
        const search_run r = search(counter, c.input);
        EXPECT_EQ(r.found_at, c.found_at);
        EXPECT_EQ(r.discarded, c.discarded);
        EXPECT_EQ(counter, c.counter_after);
    }
}

TEST(StartSequenceSearch, CounterCarriesIntoTheNextSearch) {
    int counter = 0;
    EXPECT_EQ(search(counter, hex("7e7e")).found_at, -1);  // a search left without a find
    EXPECT_EQ(search(counter, hex("7ea7")).found_at, 1);
    EXPECT_EQ(search(counter, hex("7ea7")).found_at, -1);  // a find resets it
}

TEST(Body, MissingBytesFromLom) {
    EXPECT_EQ(missing_body_bytes(hex("08 07 00")), 6u);
    EXPECT_EQ(missing_body_bytes(hex("05 07 00 10")), 2u);
    EXPECT_EQ(missing_body_bytes(hex("05 07 00 10 01")), 1u);
    EXPECT_EQ(missing_body_bytes(hex("05 07 00 10 01 13")), 0u);
    EXPECT_EQ(missing_body_bytes(hex("02 07 00 10 01 13")), 0u);  // more than LOM promised
    EXPECT_EQ(missing_body_bytes(hex("ff")), 255u);               // fits the 256-byte buffer
    EXPECT_EQ(missing_body_bytes({}), 0u);
}

TEST(Body, ChecksInOrder) {
    struct {
        const char* body;
        body_verdict verdict;
        const char* message;
    } cases[] = {
        {"08 07 00 8a 01 02 03 5c d9", body_verdict::valid, ""},
        {"05 07 00 10 01 13", body_verdict::valid, ""},
        {"03 07 00 04", body_verdict::valid, ""},  // LOM 3: negative data length
        {"05 07 00 10 01 14", body_verdict::checksum_error, "checksum error\n"},
        {"01 07", body_verdict::short_body, "invalid frame length\n"},
        {"", body_verdict::short_body, "invalid frame length\n"},
        {"02 07 05", body_verdict::bad_status, "status not ok: 5\n"},  // 3 bytes never pass
        {"04 07 00 0a 01 02 5c 56", body_verdict::lom_mismatch,
         "LOM (4) does not match data length: 3\n"},
        {"05 06 00 10 01 12", body_verdict::wrong_type, "invalid message type: 6\n"},
        {"05 07 03 10 01 10", body_verdict::bad_status, "status not ok: 3\n"},
        // The checksum decides before LOM, LOM before type, type before status.
        {"04 06 03 10 01 11", body_verdict::checksum_error, "checksum error\n"},
        {"04 06 03 10 01 10", body_verdict::lom_mismatch,
         "LOM (4) does not match data length: 1\n"},
        {"05 06 03 10 01 11", body_verdict::wrong_type, "invalid message type: 6\n"},
        // Two bodies in one read.
        {"05 07 00 10 01 13 7e 7e 7e a7 05 07 00 11 01 12", body_verdict::checksum_error,
         "checksum error\n"},
    };
    for (const auto& c : cases) {
        const bytes body = hex(c.body);
        EXPECT_EQ(validate_body(body), c.verdict) << c.body;
        std::array<char, line_size> text{};
        format_verdict(text, c.verdict, body);
        EXPECT_STREQ(text.data(), c.message) << c.body;
    }
}

TEST(Lines, DumpAndFrameLine) {
    std::array<char, line_size> text{};
    const bytes body = hex("08 07 00 8a 01 02 03 5c d9");
    format_dump(text, body);
    EXPECT_STREQ(text.data(), "<<  0x08 0x07 0x00 0x8a 0x01 0x02 0x03 0x5c 0xd9 \n");
    format_frame_line(text, 12, 5, body);
    EXPECT_STREQ(text.data(), "0000000012.000000005 <0a> [03] 0x01 0x02 0x03 (5c) \n");
    format_frame_line(text, 1234567890, 999999999, hex("03 07 00 04"));
    EXPECT_STREQ(text.data(), "1234567890.999999999 <04> [fffffffe] (00) \n");
    format_frame_line(text, 0, 0, hex("05 07 00 d0 01 d3"));
    EXPECT_STREQ(text.data(), "0000000000.000000000 <10> [00] (01) \n");
}

TEST(Lines, TheLongestBodyFits) {
    bytes body(256, 0x11);
    body[0] = 255;
    std::array<char, line_size> text{};
    const std::size_t n = format_dump(text, body);
    EXPECT_EQ(n, 4u + 256 * 5 + 1);
    EXPECT_EQ(text[n - 1], '\n');
    EXPECT_EQ(format_frame_line(text, 1, 1, body), 21u + 5 + 5 + 250 * 5 + 5 + 1);
}

TEST(CommandLine, ArgumentWordsAsBytes) {
    const std::pair<const char*, int> cases[] = {
        {"0", 0},      {"255", 255},      {"300", 44}, {"-1", 255}, {"12x", 12}, {" 7", 7},
        {"\t+5", 5},   {"-0", 0},         {"0x10", 0}, {"-256", 0}, {"-255", 1}, {"256", 0},
        {"-300", 212}, {"4294967297", 1}, {"\r9", 9},  {"abc", -1}, {"", -1},    {"-", -1},
        {" - 1", -1},  {"x1", -1},        {"+-1", -1},
    };
    for (const auto& [word, expected] : cases) {
        std::uint8_t b = 0xAA;
        const bool ok = argument_byte(word, b);
        EXPECT_EQ(ok ? b : -1, expected) << '"' << word << '"';
    }
}

TEST(CommandLine, CommandsSpeedsAndNumbers) {
    EXPECT_EQ(command_type("schedule"), 2);
    EXPECT_EQ(command_type("master"), 6);
    EXPECT_EQ(command_type("listen"), -1);
    EXPECT_EQ(command_type("Frame"), -1);
    EXPECT_EQ(command_type("frames"), -1);
    EXPECT_EQ(command_position(0), 1);
    EXPECT_EQ(command_position(2), 5);

    speed_t s = 0;
    for (auto [baud, speed] : {std::pair{9600, B9600},
                               {19200, B19200},
                               {38400, B38400},
                               {57600, B57600},
                               {115200, B115200},
                               {230400, B230400}}) {
        ASSERT_TRUE(speed_of_baud(baud, s));
        EXPECT_EQ(s, speed);
    }
    for (int baud : {0, 4800, 57601, 460800, -9600})
        EXPECT_FALSE(speed_of_baud(baud, s)) << baud;

    EXPECT_EQ(option_number("115200"), 115200);
    EXPECT_EQ(option_number("12x"), 12);
    EXPECT_EQ(option_number("010"), 10);  // decimal only
    EXPECT_EQ(option_number("0x10"), 0);
    EXPECT_EQ(option_number("x"), 0);
    EXPECT_EQ(option_number("99999999999"), 2147483647);
    EXPECT_EQ(option_number("-99999999999"), -2147483647 - 1);
}

}  // namespace
