// The GPIO stand-in.
#include <gtest/gtest.h>

#include "tests/support/board.hpp"
#include "tests/support/paths.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace support;

result write_gpio(const temp_board& board, std::vector<std::string> texts) {
    spawn_options o;
    o.args = {std::string(bin_dir) + "/../tests/write_file", "/sys/class/gpio/gpio63/value"};
    o.args.insert(o.args.end(), texts.begin(), texts.end());
    o.board = board.dir();
    return run(o);
}

TEST(GpioStandIn, ValueFileHoldsTheLastWriteAndEveryWriteIsLogged) {
    temp_board board;
    board.export_gpio(63, "1");
    auto r = write_gpio(board, {"0", "1"});
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_EQ(board.read("gpio/gpio63/value"), "1");
    auto log = board.lines("gpio.log");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].ends_with(" 63 30")) << log[0];
    EXPECT_TRUE(log[1].ends_with(" 63 31")) << log[1];
}

TEST(GpioStandIn, LineNotExportedFailsWithENOENT) {
    temp_board board;
    auto r = write_gpio(board, {"0"});
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(r.err, "open: No such file or directory\n");
    EXPECT_FALSE(board.exists("gpio.log"));
}

}  // namespace
