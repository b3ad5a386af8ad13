// The option reader: -D, -m and -w with their conversions, in command-line order.
#include "trxset/options.hpp"

#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using trxset::option_outcome;
using trxset::trx_options;
using args = std::vector<std::string>;

struct reading {
    option_outcome outcome;
    std::string argument;
    trx_options o;
};

reading read(args a) {
    a.insert(a.begin(), "trxset");
    std::vector<char*> argv;
    for (auto& s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    optind = 0;  // a fresh scan
    opterr = 0;
    reading r{};
    const auto got = trxset::read_options(static_cast<int>(a.size()), argv.data(), r.o);
    r.outcome = got.outcome;
    r.argument = got.argument ? got.argument : "";
    return r;
}

TEST(Numbers, UnsignedTakesItsBaseFromThePrefixAndSaturates) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"250", 250},
        {"0x1A0", 0x1A0},
        {"0X1a0", 0x1A0},
        {"010", 8},
        {"09", 0},
        {"0x", 0},
        {"0xg", 0},
        {"", 0},
        {"12abc", 12},
        {" \t+7", 7},
        {"\r9", 9},  // the last of the white space that strtoul skips
        {"-1", 0xFFFFFFFF},
        {"-2", 0xFFFFFFFE},
        {"0xFFFFFFFF", ~0u},
        {"0x100000000", ~0u},
        {"99999999999999999999999", ~0u},
        {"-0x100000000", ~0u},
    };
    for (auto [text, value] : cases)
        EXPECT_EQ(trxset::to_unsigned(text), value) << '"' << text << '"';
}

TEST(Numbers, DecimalLikeTheBoard) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"258", 258},
        {"-1", -1},
        {" +4x", 4},
        {"abc", 0},
        {"0x10", 0},
        {"010", 10},
        {"2147483648", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (auto [text, value] : cases)
        EXPECT_EQ(trxset::to_decimal(text), value) << '"' << text << '"';
}

TEST(Options, DeviceModeAndStatusLaterOnesWin) {
    struct {
        args a;
        int device = 0, mode = 0;
        bool status = false;
    } cases[] = {
        {.a = {}},
        {.a = {"-D", "can5"}, .device = 5},
        {.a = {"-D", "can"}},
        {.a = {"-D", "canX"}},
        {.a = {"-D", "can12"}, .device = 1},
        {.a = {"-D", "can9"}, .device = 9},  // the ends of the digits, and just beyond
        {.a = {"-D", "can/"}},
        {.a = {"-D", "can:"}},
        {.a = {"-D", "can7"}, .device = 7},  // the range is checked later
        {.a = {"--device", "can2", "-Dcan4"}, .device = 4},
        {.a = {"-m", "258"}, .mode = 2},
        {.a = {"-m", "-1"}, .mode = 255},
        {.a = {"-m", "abc"}},
        {.a = {"--mode", "4", "-m1"}, .mode = 1},
        {.a = {"extra", "--status", "-m", "3", "words"},
         .mode = 3,
         .status = true},  // non-options are ignored
    };
    for (const auto& c : cases) {
        const auto r = read(c.a);
        EXPECT_EQ(r.outcome, option_outcome::run) << testing::PrintToString(c.a);
        EXPECT_EQ((std::tuple{int{r.o.device}, int{r.o.mode}, r.o.status}),
                  (std::tuple{c.device, c.mode, c.status}))
            << testing::PrintToString(c.a);
    }
}

// A view need not end where its text ends: "can" cut from "can5" is transceiver 0.
TEST(Options, DeviceReadsNothingBeyondItsText) {
    const std::string_view text = "can5";
    std::uint8_t device = 9;
    EXPECT_TRUE(trxset::read_device(text.substr(0, 3), device));
    EXPECT_EQ(device, 0);
    EXPECT_FALSE(trxset::read_device(text.substr(0, 2), device));
}

TEST(Options, WakeUpFrameItems) {
    struct {
        args a;
        int fc = 0xFF;
        std::uint32_t id = 0, mask = 0, cdr = 0;
        std::array<std::uint8_t, 8> dm{};
    } cases[] = {
        {.a = {}},
        {.a = {"-w", ""}},
        {.a = {"-w", "fc=0x00,mask=0x007,id=0x1A0,cdr=250"},
         .fc = 0x00,
         .id = 0x1A0,
         .mask = 0x007,
         .cdr = 250},
        {.a = {"--wuf", "fc=0x180"}, .fc = 0x80},  // low 8 bits
        {.a = {"--wuf=id=010"}, .id = 8},
        {.a = {"-w", "fc=0x00,"}, .fc = 0x00},  // one trailing comma
        {.a = {"-w", "id=0x1FFFFFFF,mask=4294967295"}, .id = 0x1FFFFFFF, .mask = 0xFFFFFFFF},
        {.a = {"-w", "dm7=0xFF,dm6=1,dm5=2,dm4=3,dm3=4,dm2=5,dm1=6,dm0=0x107"},
         .dm = {7, 6, 5, 4, 3, 2, 1, 0xFF}},
        {.a = {"-w", "id=1,id=2"}, .id = 2},                         // a key again replaces
        {.a = {"-w", "fc=1", "-w", "cdr=1"}, .fc = 0x01, .cdr = 1},  // each -w adds
        {.a = {"-w", "fc=1=2,cdr="}, .fc = 0x01},  // conversion stops where it must
    };
    for (const auto& c : cases) {
        const auto r = read(c.a);
        EXPECT_EQ(r.outcome, option_outcome::run) << testing::PrintToString(c.a);
        EXPECT_EQ((std::tuple{int{r.o.fc}, r.o.id, r.o.mask, r.o.cdr, r.o.dm}),
                  (std::tuple{c.fc, c.id, c.mask, c.cdr, c.dm}))
            << testing::PrintToString(c.a);
    }
}

TEST(Options, RefusalsStopTheReading) {
    const std::pair<args, option_outcome> cases[] = {
        {{"-D", "CAN1"}, option_outcome::bad_device},
        {{"-D", ""}, option_outcome::bad_device},
        {{"-D", "1", "-w", "foo=1"}, option_outcome::bad_device},  // the first error decides
        {{"-w", "foo=1"}, option_outcome::bad_wuf},
        {{"-w", "fc=0x00,,id=1"}, option_outcome::bad_wuf},  // empty items
        {{"-w", ",fc=1"}, option_outcome::bad_wuf},
        {{"-w", "fc=1,,"}, option_outcome::bad_wuf},
        {{"-w", "fc"}, option_outcome::bad_wuf},  // a key needs its value
        {{"-w", "fc=1,id"}, option_outcome::bad_wuf},
        {{"-w", "dm8=1"}, option_outcome::bad_wuf},
        {{"-w", "dm/=1"}, option_outcome::bad_wuf},
        {{"-w", "FC=1"}, option_outcome::bad_wuf},
        {{"-w", "fc =1"}, option_outcome::bad_wuf},
        {{"-w", "=1"}, option_outcome::bad_wuf},
        {{"-x"}, option_outcome::usage},
        {{"--help"}, option_outcome::usage},
        {{"-s", "--wuf"}, option_outcome::usage},  // missing argument
    };
    for (const auto& [a, outcome] : cases)
        EXPECT_EQ(read(a).outcome, outcome) << testing::PrintToString(a);
    EXPECT_EQ(read({"-m", "1", "-D", "CAN1"}).argument, "CAN1");
}

}  // namespace
