// The probe's and the reset's decisions, apart from the system calls.
#include "linkwatch/watch.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using namespace linkwatch;

TEST(WatchSettings, GpioNumberIsReadAsADecimalText) {
    const struct {
        const char* in;
        int number;
    } cases[] = {
        {"63", 63},
        {"0", 0},
        {"abc", 0},
        {"", 0},
        {"7x", 7},
        {" 12", 12},
        {"\t\n\v\f\r12", 12},
        {"+5", 5},
        {"-5", -5},
        {"063", 63},
        {"0x20", 0},
        {"2147483647", INT_MAX},
        {"99999999999", INT_MAX},
        {"2147483646", INT_MAX - 1},
        {"-2147483647", INT_MIN + 1},  // one above the clamp
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_gpio(c.in), c.number) << '"' << c.in << '"';
        path_text path;  // held whole, the longest number too
        reset_path(path, c.number);
        EXPECT_EQ(path.data(), "/sys/class/gpio/gpio" + std::to_string(c.number) + "/value");
    }
}

TEST(WatchProbe, HostAddressMustBeAValidTextOfTheInterfaceAddress) {
    const struct {
        const char* host;
        const char* interface;
        bool match;
    } cases[] = {
        {"192.168.80.1", "192.168.80.1", true},
        {"192.168.80.2", "192.168.80.1", false},
        {"255.255.255.255", "255.255.255.255", true},
        // Invalid texts match nothing, not even the all-ones address a failed parse gives.
        {"frmcu", "255.255.255.255", false},
        {"192.168.80.300", "192.168.80.44", false},
        {"", "0.0.0.0", false},
        {"3232256001", "192.168.80.1", false},  // no numeric shorthand
        {"192.168.80.1 ", "192.168.80.1", false},
    };
    for (const auto& c : cases) {
        in_addr a{};
        ASSERT_EQ(inet_pton(AF_INET, c.interface, &a), 1);
        EXPECT_EQ(host_address_matches(c.host, a), c.match) << '"' << c.host << '"';
    }
}

TEST(WatchProbe, ElapsedTimeBorrowsASecond) {
    const struct {
        timeval from, to;
        std::int64_t seconds, micros;
    } cases[] = {
        {{100, 0}, {105, 0}, 5, 0},
        {{100, 900000}, {105, 100}, 4, 100100},
        {{100, 999999}, {101, 0}, 0, 1},
        {{100, 250000}, {100, 250000}, 0, 0},
        {{4102444800, 500000}, {4102444805, 400000}, 4, 900000},  // after 2038
    };
    for (const auto& c : cases) {
        const elapsed_time e = elapsed_between(c.from, c.to);
        EXPECT_EQ(e.seconds, c.seconds);
        EXPECT_EQ(e.micros, c.micros);
    }
}

TEST(WatchProbe, ReceiveGivesUpAfterFourSecondsOrTheSixthAttempt) {
    const struct {
        int attempt;
        elapsed_time elapsed;
        bool gives_up;
    } cases[] = {
        {0, {5, 1000}, true}, {0, {4, 0}, true},  {0, {3, 999999}, false},
        {4, {0, 10}, false},  {5, {0, 10}, true}, {2, {1, 0}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(receive_gives_up(c.attempt, c.elapsed), c.gives_up)
            << c.attempt << " " << c.elapsed.seconds;
}

}  // namespace
