#include "frmcu/ctrl_protocol.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/bytes.hpp"

namespace {

using namespace frmcu;
using support::bytes;

TEST(CtrlRequest, IsMagicLengthTenAndTheCommandCode) {
    EXPECT_EQ(build_request(cmd_statistics),
              (FR_CTRL_REQ{0x46, 0x43, 0x30, 0x31, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x03}));
    EXPECT_EQ(build_request(cmd_stop),
              (FR_CTRL_REQ{0x46, 0x43, 0x30, 0x31, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x02}));
}

bytes header(std::uint32_t length, std::uint16_t id, const char* magic = "FC01") {
    bytes h(10);
    std::memcpy(h.data(), magic, 4);
    h[4] = static_cast<std::uint8_t>(length >> 24);
    h[5] = static_cast<std::uint8_t>(length >> 16);
    h[6] = static_cast<std::uint8_t>(length >> 8);
    h[7] = static_cast<std::uint8_t>(length);
    h[8] = static_cast<std::uint8_t>(id >> 8);
    h[9] = static_cast<std::uint8_t>(id);
    return h;
}

TEST(CtrlHeader, RulesApplyInOrderOnReceivedBytesOnly) {
    struct case_ {
        bytes received;
        int command;
        verdict expected;
    } cases[] = {
        {header(12, 0x8002), cmd_stop, verdict::accepted},
        {header(12, 0x0002), cmd_stop, verdict::wrong_id},             // bit 15 clear
        {header(12, 0x8001), cmd_stop, verdict::wrong_id},             // another command's answer
        {header(12, 0x0002, "FC02"), cmd_stop, verdict::wrong_magic},  // magic decides first
        {bytes{'F', 'C', '0', '1', 0, 0, 0, 12, 0x80}, cmd_stop, verdict::short_header},
        {bytes{}, cmd_stop, verdict::short_header},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check_header(c.received, c.command), c.expected);
}

TEST(CtrlMessage, LengthThenReturnCode) {
    auto h = [](std::uint32_t length) {
        auto b = header(length, 0x8003);
        return parse_header(std::span<const std::uint8_t, 10>(b.data(), 10));
    };
    const bytes ok{0x00, 0x00}, nok{0x00, 0x01};
    EXPECT_EQ(check_message(h(12), ok).result, verdict::accepted);
    auto bad = check_message(h(12), nok);
    EXPECT_EQ(bad.result, verdict::return_code_bad);
    EXPECT_EQ(bad.return_code, 1);

    bytes forty(40);
    auto len = check_message(h(56), forty);
    EXPECT_EQ(len.result, verdict::wrong_length);
    EXPECT_EQ(len.received, 40);
    EXPECT_EQ(len.announced, 46);

    EXPECT_EQ(check_message(h(11), bytes{0x00}).result, verdict::no_return_code);
    EXPECT_EQ(check_message(h(10), bytes{}).result, verdict::no_return_code);
    EXPECT_EQ(check_message(h(9), bytes{}).announced, -1);
}

TEST(CtrlStatistics, ElevenBigEndianWordsBeforeTheReturnCode) {
    bytes m(46);
    for (std::size_t k = 0; k < 11; ++k) {
        m[4 * k + 2] = static_cast<std::uint8_t>(k);
        m[4 * k + 3] = static_cast<std::uint8_t>(0x10 + k);
    }
    m[0] = 0xFF;  // overrun's top byte: unsigned
    statistics s{};
    ASSERT_EQ(decode_statistics(m, s), verdict::accepted);
    EXPECT_EQ(s.overrun, 0xFF000010u);
    EXPECT_EQ(s.syntax, 0x0111u);
    EXPECT_EQ(s.state, 0x0616u);
    EXPECT_EQ(s.mode, 0x0717u);
    EXPECT_EQ(s.null_frames, 0x0A1Au);
    EXPECT_EQ(decode_statistics(bytes(45), s), verdict::short_statistics);
    EXPECT_EQ(decode_statistics(bytes{0, 0}, s), verdict::short_statistics);
}

TEST(CtrlTexts, CodeTables) {
    EXPECT_STREQ(return_code_to_string(0), "OK");
    EXPECT_STREQ(return_code_to_string(2), "NOT_IMPLMENTED");
    EXPECT_STREQ(return_code_to_string(4), "OPERATION_NOT_ALLOWED");
    EXPECT_STREQ(return_code_to_string(5), "INVALID_VERSION");
    EXPECT_STREQ(return_code_to_string(6), "UNKNOWN");
    EXPECT_STREQ(return_code_to_string(7), "UNKNOWN");
    EXPECT_STREQ(return_code_to_string(0xFFFF), "UNKNOWN");

    EXPECT_STREQ(state_to_string(0), "DEFAULT CONFIG");
    EXPECT_STREQ(state_to_string(4), "HALT");
    EXPECT_STREQ(state_to_string(13), "LOOPBACK MODE");
    EXPECT_STREQ(state_to_string(15), "CONFIG");
    EXPECT_STREQ(state_to_string(18), "WAKEUP_SEND");
    EXPECT_STREQ(state_to_string(0x2A), "ABORT_STARTUP");
    for (std::uint32_t unknown : {6u, 12u, 14u, 20u, 31u, 43u, 0x100u, 0x102u, 0xFFFFFFFFu})
        EXPECT_STREQ(state_to_string(unknown), "UNKNOWN") << unknown;

    EXPECT_STREQ(mode_to_string(0), "ACTIVE");
    EXPECT_STREQ(mode_to_string(2), "COMMHALT");
    EXPECT_STREQ(mode_to_string(3), "RESERVED");
    EXPECT_STREQ(mode_to_string(4), "UNKNOWN");
}

TEST(CtrlCommands, PrefixMatchInTableOrder) {
    EXPECT_EQ(match_command("start"), 1);
    EXPECT_EQ(match_command("startup"), 1);
    EXPECT_EQ(match_command("stopnow"), 2);
    EXPECT_EQ(match_command("statistics2"), 3);
    EXPECT_EQ(match_command("sta"), -1);
    EXPECT_EQ(match_command("Stop"), -1);
    EXPECT_EQ(match_command(""), -1);
}

}  // namespace
