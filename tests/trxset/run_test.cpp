// trxset end to end on a simulated board: chip-select and FRM writes in gpio.log, transfers in
// spi.log, the chips' registers, the texts on their streams and the exit status.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/board.hpp"
#include "tests/support/process.hpp"
#include "tests/trxset/chips.hpp"

namespace {

using namespace support;
using namespace trxtest;
using strings = std::vector<std::string>;

const std::string found0 = "Found transceiver0 device: TJA1145T/K\n\n";
const std::string no_event = "TJA1145: No event captured(no wake up source is triggered)\n";

struct gpio_write {
    double time;
    int gpio;
    std::string bytes;  // hex
};

struct trx_board {
    temp_board board;

    trx_board() {
        for (int gpio : {73, 39, 41, 187})
            board.export_gpio(gpio, "0");
        board.add_spidev();
    }

    void put_chip(const chip& c) const {
        board.write("tja1145/chip0.regs", std::string(c.regs.begin(), c.regs.end()));
        std::string stuck;
        for (std::size_t a = 0; a < c.stuck.size(); ++a)
            if (c.stuck[a]) stuck += std::to_string(a / 16) + "0123456789abcdef"[a % 16] + "\n";
        board.write("tja1145/chip0.stuck", stuck);
    }
    std::uint8_t reg(std::size_t address) const {
        return static_cast<std::uint8_t>(board.read("tja1145/chip0.regs").at(address));
    }

    result trxset(strings args, const std::string& stdout_file = "", int open_files = 0) const {
        spawn_options o;
        o.open_files = open_files;
        o.args = {program("trxset")};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.board = board.dir();
        o.stdout_file = stdout_file;
        return run(o, 60s);
    }

    strings spi() const { return board.lines("spi.log"); }
    // The writes among the transfers, as "26=03".
    std::string spi_writes() const {
        std::string out;
        for (const auto& line : spi()) {
            unsigned chip_number, b0, b1;
            char text[16];
            if (sscanf(line.c_str(), "%u %2x%2x", &chip_number, &b0, &b1) == 3 && !(b0 & 1)) {
                snprintf(text, sizeof text, "%02x=%02x", b0 >> 1, b1);
                out += (out.empty() ? "" : " ") + std::string(text);
            }
        }
        return out;
    }

    std::vector<gpio_write> gpio() const {
        std::vector<gpio_write> out;
        for (const auto& line : board.lines("gpio.log")) {
            gpio_write w{};
            char bytes[64];
            if (sscanf(line.c_str(), "%lf %d %63s", &w.time, &w.gpio, bytes) == 3)
                out.push_back({w.time, w.gpio, bytes});
        }
        return out;
    }
    std::size_t frm_writes() const {
        const auto g = gpio();
        return static_cast<std::size_t>(
            std::count_if(g.begin(), g.end(), [](auto& w) { return w.gpio == 187; }));
    }
};

TEST(TrxsetRun, NoOptionsIdentifiesTransceiverZero) {
    trx_board b;
    auto r = b.trxset({});
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.out, found0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.spi(), (strings{"0 fd00 0070"}));
    std::string writes;
    for (const auto& w : b.gpio())
        writes += std::to_string(w.gpio) + ":" + w.bytes + " ";
    EXPECT_EQ(writes, "73:3000 39:3000 41:3000 187:3100 187:3000 ");
    EXPECT_EQ(b.board.lines("spi-setup.log"),
              (strings{"wr_mode 1", "rd_mode 1", "wr_bits_per_word 8", "rd_bits_per_word 8",
                       "wr_max_speed_hz 500000", "rd_max_speed_hz 500000"}));
}

TEST(TrxsetRun, ChipSelectLinesCarryTheTransceiverNumber) {
    const std::pair<strings, const char*> cases[] = {
        {{"-D", "can5"}, "5 101"},    {{"-D", "can3"}, "3 110"}, {{"-D", "can12"}, "1 100"},
        {{"--device=can2"}, "2 010"}, {{"-Dcan4"}, "4 001"},
    };
    for (const auto& [args, expected] : cases) {
        trx_board b;
        for (int gpio : {73, 39, 41})
            b.board.export_gpio(gpio, "1");
        auto r = b.trxset(args);
        EXPECT_EQ(r.status, exited(0)) << expected << r.err;
        std::string got = std::string(1, expected[0]) + " ";
        for (int gpio : {73, 39, 41}) {
            const auto value = b.board.read("gpio/gpio" + std::to_string(gpio) + "/value");
            EXPECT_EQ(value.size(), 2u);
            EXPECT_EQ(value[1], '\0');
            got += value[0];
        }
        EXPECT_EQ(got, expected);
        EXPECT_EQ(r.out,
                  "Found transceiver" + std::string(1, expected[0]) + " device: TJA1145T/K\n\n");
        EXPECT_EQ(b.spi(), (strings{std::string(1, expected[0]) + " fd00 0070"}));
    }
}

TEST(TrxsetRun, IdentificationAcceptedAndRefused) {
    for (std::uint8_t id : {std::uint8_t{0x74}, std::uint8_t{0x71}}) {
        trx_board b;
        chip c = clean_chip();
        c.regs[0x7E] = id;
        b.put_chip(c);
        auto r = b.trxset({"-m", "2", "-s"});
        if (id == 0x74) {
            EXPECT_EQ(r.status, exited(0)) << r.err;
            EXPECT_TRUE(r.out.starts_with(found0));
            EXPECT_EQ(b.reg(0x01), 0x07);
        } else {
            EXPECT_EQ(r.status, exited(1));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "Unknown transceiver0 device: 71\n");
            EXPECT_EQ(b.spi().size(), 1u) << "nothing after the identification";
        }
    }
}

TEST(TrxsetRun, EachSpiSetUpFailureEndsWithStatus255) {
    const std::pair<const char*, const char*> requests[] = {
        {"wr_mode", "can't set spi mode"},
        {"rd_mode", "can't get spi mode"},
        {"wr_bits_per_word", "can't set bits per word"},
        {"rd_bits_per_word", "can't get bits per word"},
        {"wr_max_speed_hz", "can't set max speed hz"},
        {"rd_max_speed_hz", "can't get max speed hz"},
    };
    std::size_t issued = 0;
    for (auto [name, message] : requests) {
        trx_board b;
        b.board.write("spi/fail-setup", std::string(name) + "\n");
        auto r = b.trxset({"-s"});
        EXPECT_EQ(r.status, exited(255)) << name;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string(message) + ": Input/output error\n");
        const auto setup = b.board.lines("spi-setup.log");
        EXPECT_EQ(setup.size(), ++issued) << name << ": the rest are not issued";
        EXPECT_EQ(setup.back(), std::string(name) + " failed");
        EXPECT_FALSE(b.board.exists("spi.log"));
    }
}

TEST(TrxsetRun, DeviceOrLineMissing) {
    trx_board b;
    b.board.remove("spi");
    auto r = b.trxset({});
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(r.err, "can't open /dev/spidev1.0: No such file or directory\n");
    EXPECT_EQ(r.out, "");

    // A chip-select line that is missing, or that opens but refuses the write, stops the run
    // before anything more is written.
    const struct {
        bool refuses;  // the line is there (its value file is /dev/full)
        const char* why;
    } lines[] = {
        {.refuses = false,
         .why = "Failed to /sys/class/gpio/gpio39/value: No such file or directory"},
        {.refuses = true, .why = "Failed to write to GPIO39: No space left on device\n"},
    };
    for (const auto& line : lines) {
        b.board.remove("gpio/gpio39");
        b.board.remove("gpio.log");
        if (line.refuses) {
            b.board.write("gpio/gpio39/keep", "");
            ASSERT_EQ(symlink("/dev/full", b.board.path("gpio/gpio39/value").c_str()), 0);
        }
        r = b.trxset({"-D", "can1"});
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.err, std::string(line.why) + "Failed to set CS_D1 for choosen transceiver:1\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(b.gpio().size(), 1u) << "GPIO 73 written and kept, nothing after";
        EXPECT_EQ(b.board.read("gpio/gpio73/value"), std::string("1\0", 2));
    }
}

TEST(TrxsetRun, FailedTransferAbortsAtOnce) {
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const std::string failure = "can't send spi message\n: Input/output error\n";
    struct {
        const char* transfers_before;
        std::string out;
        std::size_t transfers;
        std::string stdout_file = "";
    } cases[] = {
        {"", "", 0},
        {"3", found0, 3},           // what was printed before stays, nothing more is
        {"3", "", 3, "/dev/full"},  // its failure to go out does not mask the transfer's
    };
    for (const auto& c : cases) {
        trx_board b;
        b.put_chip(clean_chip());
        b.board.write("spi/fail-transfer", c.transfers_before);
        auto r = b.trxset({"-m", "2", "-s"}, c.stdout_file);
        EXPECT_EQ(r.status, killed_by(SIGABRT));
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(r.err.starts_with(failure)) << r.err;
        EXPECT_EQ(b.spi().size(), c.transfers);
        EXPECT_EQ(b.frm_writes(), 2 * (c.transfers + 1)) << "a pulse before the failed one too";
    }
}

// With one descriptor more than a run needs (on the board's stand-in, which logs through one of
// its own): any value file left open keeps a later one shut.
TEST(TrxsetRun, FrmPulseBeforeEveryTransferWithItsSettleTimes) {
    trx_board b;  // a chip as it comes from power-on: the preparation has work to do
    auto r = b.trxset({"-m", "3", "-w", "fc=0x00,mask=0x007,id=0x1A0,cdr=250"}, "", 7);
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    const auto gpio = b.gpio();
    const auto transfers = b.spi().size();
    ASSERT_GT(transfers, 40u);
    ASSERT_EQ(gpio.size(), 3 + 2 * transfers);
    for (std::size_t i = 3; i < gpio.size(); ++i) {
        EXPECT_EQ(gpio[i].gpio, 187);
        EXPECT_EQ(gpio[i].bytes, (i - 3) % 2 == 0 ? "3100" : "3000") << i;
        // The settle times follow the FRM writes; the first one follows the chip select.
        if (i > 3) {
            EXPECT_GE(gpio[i].time - gpio[i - 1].time, 0.000100 - 1e-9) << i;
        }
    }
}

TEST(TrxsetRun, FullExampleProgramsTheFrameSleepsAndReports) {
    trx_board b;
    b.put_chip(clean_chip());
    auto r = b.trxset({"-m", "3", "-w", "fc=0x00,mask=0x007,id=0x1A0,cdr=250", "-s"});
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.out, found0 + no_event + "TJA1145: Add \"data masks\" for 0 banks\n" + no_event +
                         "TJA1145: Sleep mode\n"
                         "TJA1145: No CAN partial networking error detected(PNFDE = 0 AND PNCOK "
                         "= 1)\n"
                         "TJA1145:CAN partial networking configuration error\n"
                         "detected (PNCOK = 0)\n"
                         "TJA1145: CAN bus active (communication detected on bus)\n" +
                         no_event);
    EXPECT_EQ(r.err,
              "TJA1145: CAN transceiver not in Active mode\n"
              "TJA1145: CAN partial networking oscillator not running at target frequency\n"
              "\n\n");
    EXPECT_EQ(b.spi_writes(), "4c=00 26=03 2d=1c 2e=00 29=80 2a=06 2f=00 23=01 20=30 01=01");
    const std::pair<std::size_t, int> regs[] = {{0x26, 0x03}, {0x2D, 0x1C}, {0x29, 0x80},
                                                {0x2A, 0x06}, {0x23, 0x01}, {0x20, 0x30},
                                                {0x01, 0x01}};
    for (auto [address, value] : regs)
        EXPECT_EQ(b.reg(address), value) << std::hex << address;
}

// With standard input closed, the first line's file is descriptor 0; under memcheck, which finds
// what the transfers are given uninitialised.
TEST(TrxsetRun, FullExampleWithStdinClosedAndUnderMemcheck) {
    for (bool memcheck : {false, true}) {
        trx_board b;
        b.put_chip(clean_chip());
        spawn_options o;
        o.args = {program("trxset"), "-m", "3", "-w", "fc=0x00,mask=0x007,id=0x1A0,cdr=250", "-s"};
        o.board = b.board.dir();
        o.stdin_closed = !memcheck;
        if (memcheck) o.memcheck_log = b.board.path("memcheck.log");
        const auto r = run(o, 60s);
        EXPECT_EQ(r.status, exited(0)) << memcheck << r.err;
        EXPECT_EQ(b.spi_writes(), "4c=00 26=03 2d=1c 2e=00 29=80 2a=06 2f=00 23=01 20=30 01=01");
        EXPECT_EQ(b.board.read("memcheck.log"), "");
    }
}

TEST(TrxsetRun, WithoutTheFrmLineEveryTransferWarnsAndTheWorkIsDone) {
    trx_board b;
    b.board.remove("gpio/gpio187");
    b.put_chip(clean_chip());
    auto r = b.trxset({"-m", "2"});
    EXPECT_EQ(r.status, exited(0));
    std::string expected;
    for (std::size_t i = 0; i < b.spi().size(); ++i)  // no line ends: they run together
        expected += "WARNING:Failed to open FRM(gpio187): No such file or directory";
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, found0 + no_event);
    EXPECT_EQ(b.spi_writes(), "4c=00 20=01 01=07");
}

TEST(TrxsetRun, StatusReportAloneAndItsAlarm) {
    const std::string heat = "TJA1145: temperature above over-temperature warning threshold\n";
    for (std::uint8_t main : {std::uint8_t{0x00}, std::uint8_t{0x40}}) {
        trx_board b;
        chip c = clean_chip();
        c.regs[0x01] = 0x07;
        c.regs[0x03] = main;
        c.regs[0x22] = 0x90;
        b.put_chip(c);
        auto r = b.trxset({"-s"});
        EXPECT_EQ(r.status, exited(main ? 1 : 0));
        EXPECT_EQ(r.out, found0 +
                             "TJA1145: Normal mode\n"
                             "TJA1145: CAN transceiver in Active mode\n"
                             "TJA1145: No CAN partial networking error detected(PNFDE = 0 AND "
                             "PNCOK = 1)\n"
                             "TJA1145:CAN partial networking configuration error\n"
                             "detected (PNCOK = 0)\n"
                             "TJA1145: CAN bus active (communication detected on bus)\n" +
                             no_event);
        EXPECT_EQ(r.err, (main ? heat : "") + "\n\n");
        EXPECT_EQ(b.spi_writes(), "") << "a report only reads";
    }
}

TEST(TrxsetRun, ModeChangeThatDoesNotTakeExitsOne) {
    trx_board b;
    chip c = clean_chip();
    stick(c, {{0x20, 0x00}, {0x01, 0x04}});  // CAN control stays off, the mode Standby
    b.put_chip(c);
    auto r = b.trxset({"-m", "2"});
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(r.out, found0 + no_event);
    EXPECT_EQ(r.err,
              "TJA1145: register: 0x20 with return value: 0x0 expected:0x1\n "
              "TJA1145: register: 0x1 with return value: 0x4 expected:0x7\n ");
}

TEST(TrxsetRun, StuckWakePinEndsTheRunBeforeAnyMode) {
    trx_board b;
    chip c = clean_chip();
    stick(c, {{0x4C, 0x03}});
    b.put_chip(c);
    auto r = b.trxset({"-m", "1", "-s"});
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(r.out, found0) << "no status report";
    EXPECT_EQ(r.err,
              "TJA1145: WARNING: is not able to disable wakup pin from possible unwanted "
              "restart in sleep mode (register 0x4C): 0x3\n");
    EXPECT_EQ(b.reg(0x01), 0x00);
}

TEST(TrxsetRun, PendingWakePinEventKeepsTheChipAwakeAndForcesTheReport) {
    trx_board b;
    chip c = clean_chip();
    stick(c, {{0x64, 0x02}});
    b.put_chip(c);
    auto r = b.trxset({"-m", "4"});
    EXPECT_EQ(r.status, exited(1));
    const std::string rising = "TJA1145: Rising edge detected on WAKE pin\n";
    EXPECT_TRUE(r.err.starts_with(
        "TJA1145: WARNING: Could not clear event capture register:0x64 with value:0x2 \n" + rising +
        "Got wakup event!(sleep not possible)\n"))
        << r.err;
    EXPECT_TRUE(r.err.ends_with("\n\n" + rising)) << "the report runs without -s";
    EXPECT_TRUE(r.out.starts_with(found0 + "TJA1145: Sleep mode\n")) << r.out;
    EXPECT_EQ(b.reg(0x4C), 0x02);
}

TEST(TrxsetRun, OptionErrorsTouchNothing) {
    const std::string name = program("trxset");
    const std::string usage = "Usage: " + name + " [-Dmws]\n";
    const std::pair<strings, std::string> cases[] = {
        {{"-D", "CAN1"}, "Error wrong D in parameter: CAN1\n"},
        {{"-D", "can6", "-s"}, "CAN transceiver 6 is not selectable chip, select choose 0 to 5\n"},
        {{"-w", "foo=1"}, "Wrong wake-up frame syntax\n"},
        {{"-m", "3", "-w", "fc"}, "Wrong wake-up frame syntax\n"},
        {{"-w", "fc=0x00,,id=1"}, "Wrong wake-up frame syntax\n"},
        {{"-x"}, name + ": invalid option -- 'x'\n"},
        {{"-m"}, name + ": option requires an argument -- 'm'\n"},
        // Refused before any chip-select write or transfer, so nothing of the chip is lost.
        {{"-m", "7"}, "Unknown mode: 7\n"},
        {{"-m", "-1", "-s"}, "Unknown mode: 255\n"},
    };
    for (const auto& [args, err] : cases) {
        trx_board b;
        auto r = b.trxset(args);
        EXPECT_EQ(r.status, exited(1)) << err;
        EXPECT_EQ(r.err, err);
        EXPECT_FALSE(b.board.exists("gpio.log")) << err;
        if (args[0] == "-D" || err.starts_with("Unknown mode")) {
            EXPECT_EQ(r.out, "");
            continue;
        }
        EXPECT_TRUE(
            r.out.starts_with(usage + "  -D --device   Tranceiver device to use (default can0)\n"))
            << r.out;
        EXPECT_NE(r.out.find("are \xE2\x80\x98"
                             "don\xE2\x80\x99t care\xE2\x80\x99 for wake-up\n"),
                  std::string::npos);
        EXPECT_TRUE(r.out.ends_with("\n  -s --status   status of transceiver\n\n"));
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 27);
    }
}

}  // namespace
