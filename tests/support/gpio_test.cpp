// The GPIO stand-in, driven through a shell's own writes.
#include <gtest/gtest.h>

#include "tests/support/board.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace support;

TEST(GpioStandIn, ValueFileHoldsTheLastWriteAndEveryWriteIsLogged) {
    temp_board board;
    board.export_gpio(63, "1");
    spawn_options o;
    o.args = {"/bin/sh", "-c",
              "printf 0 > /sys/class/gpio/gpio63/value && printf 1 > /sys/class/gpio/gpio63/value"};
    o.board = board.dir();
    auto r = run(o);
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_EQ(board.read("gpio/gpio63/value"), "1");
    auto log = board.lines("gpio.log");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].ends_with(" 63 30")) << log[0];
    EXPECT_TRUE(log[1].ends_with(" 63 31")) << log[1];
}

TEST(GpioStandIn, LineNotExportedFailsWithENOENT) {
    temp_board board;
    spawn_options o;
    o.args = {"/bin/sh", "-c", "printf 0 > /sys/class/gpio/gpio63/value"};
    o.board = board.dir();
    auto r = run(o);
    EXPECT_NE(r.status, exited(0));
    EXPECT_FALSE(board.exists("gpio.log"));
}

}  // namespace
