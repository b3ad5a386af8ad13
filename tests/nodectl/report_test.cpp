#include "nodectl/report.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

template <typename F>
std::string printed(F&& print) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&text, &size);
    print(f);
    std::fclose(f);
    std::string s(text, size);
    std::free(text);
    return s;
}

TEST(HexDump, SixteenBytesALineUpperCaseNoSeparators) {
    const std::vector<std::uint8_t> request{0x46, 0x43, 0x30, 0x31, 0, 0, 0, 0x0A, 0, 3};
    EXPECT_EQ(printed([&](auto f) { nodectl::print_hex_dump(f, request); }),
              "\nLength: 10\n\\x46\\x43\\x30\\x31\\x00\\x00\\x00\\x0A\\x00\\x03\n\n");
    EXPECT_EQ(printed([](auto f) { nodectl::print_hex_dump(f, {}); }), "\nLength: 0\n\n");

    std::vector<std::uint8_t> seventeen(17, 0xAB);
    seventeen[16] = 0xFF;
    std::string line(16 * 4, ' ');
    for (int i = 0; i < 16; ++i)
        line.replace(static_cast<std::size_t>(4 * i), 4, "\\xAB");
    EXPECT_EQ(printed([&](auto f) { nodectl::print_hex_dump(f, seventeen); }),
              "\nLength: 17\n" + line + "\n\\xFF\n\n");
}

TEST(StatisticsReport, ColumnsPaddedToThirteenAndCountersUnsigned) {
    frmcu::statistics s{0xFFFFFFFF, 2, 3, 4, 5, 6, 0x2A, 1, 9, 10, 11};
    EXPECT_EQ(printed([&](auto f) { nodectl::print_statistics(f, s); }),
              "MODE:  PASSIVE\n"
              "STATE: ABORT_STARTUP\n"
              "ERR: overrun syntax       frame        content      boundary     \n"
              "4294967295   2            3            4            5            \n"
              "fifo_level   bytes        frames       null-frames  \n"
              "6            9            10           11           \n");
}

}  // namespace
