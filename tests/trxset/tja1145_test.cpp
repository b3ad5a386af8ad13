// The register work against an in-memory chip: bytes on the wire, the primitives, the
// preparation, the four modes, the wake-up frame and the reports.
#include "trxset/tja1145.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/trxset/bench.hpp"

namespace {

using namespace trxtest;
using namespace trxset;

const std::string no_event = "[out]TJA1145: No event captured(no wake up source is triggered)\n";
const std::string wake_failed = "[err]TJA1145: Set wake up source failed.\n";

trx_options example(std::uint8_t mode = 3) {  // the usage text's full example
    return {.mode = mode, .fc = 0x00, .id = 0x1A0, .mask = 0x007, .cdr = 250};
}

TEST(RegisterAccess, PrimitivesOnTheWire) {
    bench b;
    EXPECT_EQ(reg_read(b.port(), 0x7E), 0x70);
    reg_write(b.port(), 0x01, 0x07);
    reg_read(b.port(), 0x60);
    EXPECT_EQ(b.ops, "r7e w01=07 r60");
    EXPECT_EQ(b.c.regs[0x01], 0x07);

    bench v;
    stick(v.c, {{0x01, 0x04}});
    EXPECT_EQ(reg_write_verify(v.port(), 0x20, 0x01), 0);
    EXPECT_EQ(reg_write_verify(v.port(), 0x01, 0x07), 1);
    EXPECT_EQ(v.ops, "w20=01 r20 w01=07 r01");
    EXPECT_EQ(v.said, "[err]TJA1145: register: 0x1 with return value: 0x4 expected:0x7\n ");
}

TEST(RegisterAccess, ClearTakesThreeOrFiveTransfers) {
    struct {
        std::uint8_t address, value;
        bool stuck;
        const char* ops;
        std::uint8_t left;
    } cases[] = {
        {0x26, 0x00, false, "r26 w26=00 r26", 0},
        {0x63, 0x03, false, "r63 w63=03 r63", 0},  // an event register clears on write-back
        {0x26, 0x05, false, "r26 w26=05 r26 w26=00 r26", 0},
        {0x26, 0x04, true, "r26 w26=04 r26 w26=00 r26", 0x04},
    };
    for (const auto& c : cases) {
        bench b;
        b.c.regs[c.address] = c.value;
        b.c.stuck[c.address] = c.stuck;
        EXPECT_EQ(reg_clear(b.port(), c.address), c.left) << c.ops;
        EXPECT_EQ(b.ops, c.ops);
        EXPECT_EQ(b.said, "");
    }
}

TEST(Identification, AcceptsOnlyTheTja1145Values) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x70, "[out]Found transceiver3 device: TJA1145T/K\n\n"},
        {0x74, "[out]Found transceiver3 device: TJA1145T/K\n\n"},
        {0x71, "[err]Unknown transceiver3 device: 71\n"},
        {0x00, "[err]Unknown transceiver3 device: 00\n"},
        {0xF4, "[err]Unknown transceiver3 device: F4\n"},
    };
    for (auto [id, said] : cases) {
        bench b;
        b.c.regs[0x7E] = id;
        EXPECT_EQ(identify_transceiver(b.port(), 3), said[1] == 'o') << said;
        EXPECT_EQ(b.ops, "r7e");
        EXPECT_EQ(b.said, said);
    }
}

TEST(Programming, EachModeWritesItsRegistersInOrder) {
    struct {
        trx_options options;
        const char* writes;
        std::string said;
        int result;
    } cases[] = {
        {{.mode = 1}, "4c=00 23=01 20=00 01=01", no_event + no_event, 0},
        {{.mode = 2}, "4c=00 20=01 01=07", no_event, 0},
        {example(), "4c=00 26=03 2d=1c 2e=00 29=80 2a=06 2f=00 23=01 20=30 01=01",
         no_event + "[out]TJA1145: Add \"data masks\" for 0 banks\n" + no_event, 0},
        {{.mode = 4}, "4c=00 4c=02 23=00 20=00 01=01", no_event + no_event, 0},
    };
    for (const auto& c : cases) {
        bench b;
        const auto done = program_transceiver(b.port(), c.options);
        EXPECT_TRUE(done.prepared);
        EXPECT_FALSE(done.force_status);
        EXPECT_EQ(done.result, c.result) << c.writes;
        EXPECT_EQ(b.writes(), c.writes);
        EXPECT_EQ(b.said, c.said);
    }
    bench b;
    program_transceiver(b.port(), example());
    EXPECT_EQ(b.ops,
              "r4c w4c=00 r4c "                               // WAKE pin off
              "r26 r2b r2c r2d r2e r27 r28 r29 r2a r2f r23 "  // wake-up configuration
              "r6f r6e r6d r6c r6b r6a r69 r68 "              // data masks
              "r60 "                                          // events
              "w26=03 r26 w2d=1c r2d w2e=00 r2e w29=80 r29 w2a=06 r2a w2f=00 r2f "  // frame
              "w23=01 r23 w20=30 r20 w01=01 r01 r60");                              // sleep
}

TEST(Programming, ModesOutsideOneToFourAreRefusedWithoutATransfer) {
    for (int mode : {0, 1, 4})
        EXPECT_TRUE(mode_accepted(bench().port(), mode)) << mode;
    for (int mode : {5, 7, 255}) {
        bench b;
        EXPECT_FALSE(mode_accepted(b.port(), mode));
        EXPECT_EQ(b.said, "[err]Unknown mode: " + std::to_string(mode) + "\n");
        EXPECT_EQ(b.ops, "");
    }
}

TEST(Programming, PreparationClearsWhatItFinds) {
    bench b;
    b.c = boardsim::tja1145::power_on();
    b.c.regs[0x26] = 0x05;
    b.c.regs[0x2F] = 0x80;
    b.c.regs[0x6B] = 0x00;
    b.c.regs[0x63] = 0x01;
    EXPECT_TRUE(program_transceiver(b.port(), {.mode = 2}).prepared);
    EXPECT_EQ(b.writes(), "4c=03 4c=00 26=05 26=00 2f=80 2f=00 6b=ff 61=10 63=01 20=01 01=07");
    EXPECT_EQ(b.said, "");
    EXPECT_EQ(boardsim::tja1145::read(b.c, 0x60), 0);
}

TEST(Programming, PreparationFailures) {
    struct {
        std::uint8_t address, value;
        const char* said;
        bool prepared;
    } cases[] = {
        {0x4C, 0x03,
         "[err]TJA1145: WARNING: is not able to disable wakup pin from possible unwanted restart "
         "in sleep mode (register 0x4C): 0x3\n",
         false},
        {0x2C, 0x12, "[err]TJA1145: Could not clear register 0x2c\n", false},
        {0x23, 0x01, "[err]TJA1145: Could not clear register 0x23\n", false},
        {0x6A, 0x00, "[err]TJA1145: Could not clear data mask register 0x6a to default value\n",
         false},
        // An event that stays is only warned about, but it keeps the chip from sleeping.
        {0x63, 0x02,
         "[err]TJA1145: WARNING: Could not clear event capture register:0x63 with value:0x2 \n"
         "[err]TJA1145: CAN failure event detected\n"
         "[err]Got wakup event!(sleep not possible)\n",
         true},
    };
    for (const auto& c : cases) {
        bench b;
        stick(b.c, {{c.address, c.value}});
        const auto done = program_transceiver(b.port(), {.mode = 1, .status = true});
        EXPECT_EQ(done.prepared, c.prepared) << c.said;
        EXPECT_EQ(done.result, 1);
        EXPECT_EQ(done.force_status, c.prepared);
        EXPECT_EQ(b.said, c.said);
        EXPECT_EQ(b.c.regs[0x01], c.prepared ? 0x01 : 0x00) << "Sleep commanded";
    }
}

TEST(Programming, PendingEventKeepsTheChipAwake) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {1, "[err]Got wakup event!(sleep not possible)\n"},
        {3, "[err]Got wake up event!(sleep not possible)\n"},
        {4, "[err]Got wakup event!(sleep not possible)\n"},
    };
    for (auto [mode, said] : cases) {
        bench b;
        b.c.regs[0x60] = 0x02;  // names no event register: counts as an event all the same
        const auto done = program_transceiver(b.port(), example(mode));
        EXPECT_EQ(done.result, 1);
        EXPECT_TRUE(done.force_status);
        EXPECT_TRUE(b.said.ends_with(
            std::string("[err]ERROR wrong parsing global event! value:0x2") + said))
            << b.said;
    }
}

// A register that does not read back what the mode change wrote fails the run; the work and
// its messages go on as before.
TEST(Programming, ReadBackMismatchesFailTheModeChange) {
    auto mismatch = [](const char* address, const char* back, const char* expected) {
        return std::string("[err]TJA1145: register: 0x") + address + " with return value: 0x" +
               back + " expected:0x" + expected + "\n ";
    };
    const std::string banks0 = "[out]TJA1145: Add \"data masks\" for 0 banks\n";
    struct {
        std::uint8_t mode;
        std::vector<std::pair<std::uint8_t, std::uint8_t>> stuck;  // address, value
        std::string said;                                          // after the preparation
        std::uint8_t fc = 0x00;
    } cases[] = {
        {2, {{0x01, 0x04}}, mismatch("1", "4", "7")},
        {2, {{0x20, 0x00}}, mismatch("20", "0", "1")},
        {1, {{0x01, 0x04}}, mismatch("1", "4", "1") + no_event},
        {1, {{0x20, 0x05}}, mismatch("20", "5", "0") + no_event},
        {3, {{0x26, 0x00}}, banks0 + mismatch("26", "0", "3") + no_event},         // data rate
        {3, {{0x29, 0x00}}, banks0 + mismatch("29", "0", "80") + no_event},        // identifier
        {3, {{0x2D, 0x00}}, banks0 + mismatch("2d", "0", "1c") + no_event},        // mask
        {3, {{0x2F, 0x00}}, banks0 + mismatch("2f", "0", "80") + no_event, 0x80},  // frame control
        // More than one: each reported, and still a result of 1.
        {2, {{0x20, 0x00}, {0x01, 0x04}}, mismatch("20", "0", "1") + mismatch("1", "4", "7")},
        {3,
         {{0x26, 0x00}, {0x01, 0x04}},
         banks0 + mismatch("26", "0", "3") + mismatch("1", "4", "1") + no_event},
        {3,
         {{0x26, 0x00}, {0x20, 0x00}},
         banks0 + mismatch("26", "0", "3") + mismatch("20", "0", "30") + no_event},
    };
    for (const auto& c : cases) {
        bench b;
        for (auto [address, value] : c.stuck)
            stick(b.c, {{address, value}});
        trx_options o = example(c.mode);
        o.fc = c.fc;
        const auto done = program_transceiver(b.port(), o);
        EXPECT_TRUE(done.prepared);
        EXPECT_EQ(done.result, 1) << c.said;
        EXPECT_FALSE(done.force_status);
        EXPECT_EQ(b.said, no_event + c.said);
    }
}

TEST(Programming, WakeSourceFailuresStopBeforeSleep) {
    struct {
        std::uint8_t mode, address;
        std::string said;
        const char* last_write;
    } cases[] = {
        {1, 0x23,
         "[err]TJA1145: WARNING: is not able to set correct source of wakup (register 0x23): "
         "0x0\n" +
             wake_failed,
         "23=01"},
        {3, 0x23,
         "[err]TJA1145: WARNING: is not able to set correct source of wakup (register 0x23): "
         "0x0\n" +
             wake_failed,
         "23=01"},
        // The WAKE pin clears in the preparation but does not take the rising edge; the wake-up
        // source register is then left alone.
        {4, 0x4C,
         "[err]TJA1145: WARNING: is not able to set wakeup on rising-edge (register 0x4C): "
         "0x0\n" +
             wake_failed,
         "4c=02"},
    };
    for (const auto& c : cases) {
        bench b;
        stick(b.c, {{c.address, 0x00}});
        const auto done = program_transceiver(b.port(), example(c.mode));
        EXPECT_EQ(done.result, 1);
        EXPECT_FALSE(done.force_status);
        EXPECT_TRUE(b.said.ends_with(c.said)) << b.said;
        EXPECT_TRUE(b.writes().ends_with(c.last_write)) << b.writes();
    }
}

TEST(WakeFrame, SetUpAndItsRefusals) {
    const std::string banks0 = "[out]TJA1145: Add \"data masks\" for 0 banks\n";
    const std::string banks1 = "[out]TJA1145: Add \"data masks\" for 1 banks\n";
    const std::string no_rate =
        "[err]TJA1145: No valid kbit/s rate found, expect 50,100,125,250,500,1000(1).Abort!\n";
    const std::string frame = " 2d=1c 2e=00 29=80 2a=06 2f=";  // the example's mask and id
    auto with = [](auto change) {
        trx_options o = example();
        change(o);
        return o;
    };
    struct {
        trx_options options;
        std::string writes;  // between the preparation and the wake-up source
        std::string said;    // between the preparation and the sleep entry
        std::uint8_t stuck_at_ff = 0;
    } cases[] = {
        {{.mode = 3}, "", "[err]TJA1145: No wuf initialized\n"},
        {with([](auto& o) { o.fc = 0xFF; }), "", "[err]TJA1145: No wuf initialized\n"},
        {with([](auto& o) { o.id = 0; }), "", "[err]TJA1145: Something got wrong with id=0x0\n"},
        {with([](auto& o) { o.fc = 0x41; }), "",
         banks1 + "[err]TJA1145: No data mask bank found, expect at least one.\n"},
        {with([](auto& o) { o.fc = 0x01, o.dm[3] = 0x0F; }), "6b=0f 26=03" + frame + "01", banks1},
        {with([](auto& o) { o.fc = 0x08, o.dm[0] = 1, o.dm[7] = 0x80, o.dm[5] = 0x20; }),
         "6f=80 6d=20 68=01 26=03" + frame + "08",
         "[out]TJA1145: Add \"data masks\" for 8 banks\n"},
        {with([](auto& o) { o.dm[7] = 0x12; }), "26=03" + frame + "00", banks0},  // DLC 0
        // The rate is looked up only after the masks are written.
        {with([](auto& o) { o.fc = 0x01, o.dm[0] = 0x0F, o.cdr = 200; }), "68=0f",
         banks1 + no_rate},
        {with([](auto& o) { o.cdr = 0; }), "", banks0 + no_rate},
        {with([](auto& o) { o.cdr = 800; }), "", banks0 + no_rate},
        {with([](auto& o) { o.cdr = 50; }), "26=00" + frame + "00", banks0},
        {with([](auto& o) { o.cdr = 100; }), "26=01" + frame + "00", banks0},
        {with([](auto& o) { o.cdr = 125; }), "26=02" + frame + "00", banks0},
        {with([](auto& o) { o.cdr = 500; }), "26=05" + frame + "00", banks0},
        {with([](auto& o) { o.cdr = 1000; }), "26=07" + frame + "00", banks0},
        {with([](auto& o) { o.cdr = 1; }), "26=07" + frame + "00", banks0},  // 1 Mbit/s
        {with([](auto& o) { o.id = 0x7FF, o.mask = 0; }), "26=03 2d=00 2e=00 29=fc 2a=1f 2f=00",
         banks0},
        {with([](auto& o) { o.fc = 0x80, o.id = 0xF2345678, o.mask = 0x9ABCDEF1; }),
         "26=03 2b=f1 2c=de 2d=bc 2e=9a 27=78 28=56 29=34 2a=f2 2f=80", banks0},
        {with([](auto& o) { o.fc = 0x02, o.dm[7] = 0x0F, o.dm[6] = 0x0E; }), "6f=0f 6e=0e",
         "[out]TJA1145: Add \"data masks\" for 2 banks\n"
         "[err]TJA1145: register: 0x6f with return value: 0xff expected:0xf\n "
         "[err]TJA1145: Write to data mask bank failed\n",
         0x6F},
    };
    const std::string sleep_writes = " 23=01 20=30 01=01";
    for (const auto& c : cases) {
        bench b;
        if (c.stuck_at_ff) stick(b.c, {{c.stuck_at_ff, 0xFF}});
        const auto done = program_transceiver(b.port(), c.options);
        const bool set = c.said.find("[err]") == std::string::npos;
        EXPECT_EQ(done.result, set ? 0 : 1) << c.said;
        EXPECT_EQ(b.writes(),
                  "4c=00" + (c.writes.empty() ? "" : " " + c.writes) + (set ? sleep_writes : ""));
        EXPECT_EQ(b.said, no_event + c.said + (set ? no_event : ""));
    }
}

TEST(StatusReport, DecodesEachRegisterOnItsStreams) {
    bench b;
    b.c.regs[0x01] = 0x07;
    b.c.regs[0x03] = 0xE0;
    b.c.regs[0x22] = 0xFB;
    EXPECT_EQ(report_status(b.port(), 1, 0), 1);
    EXPECT_EQ(b.ops, "r01 r03 r22 r60");
    EXPECT_EQ(b.said,
              "[out]TJA1145: Normal mode\n"
              "[err]TJA1145: under-voltage on VCC and/or VIO forced a transition to Sleep mode\n"
              "[err]TJA1145: temperature above over-temperature warning threshold\n"
              "[out]TJA1145: powered up but has not yet switched to Normal mode\n"
              "[out]TJA1145: CAN transceiver in Active mode\n"
              "[err]TJA1145: CAN partial networking error detected (PNFDE = 1\nOR PNCOK = 0); "
              "wake-up via standard wake-up\npattern only\n"
              "[err]TJA1145: CAN partial networking configuration OK\n(PNCOK = 1)\n"
              "[out]TJA1145: CAN bus inactive\n"
              "[err]TJA1145: Vcc is below the under-voltage detection threshold(Vuvd(Vcc))\n"
              "[err]TJA1145: CAN transmitter disabled due to a TXD dominant time-out event\n"
              "[err]\n\n" +
                  no_event);

    bench quiet;
    quiet.c.regs[0x01] = 0x01;
    EXPECT_EQ(report_status(quiet.port(), 1, 0), 0);
    EXPECT_EQ(quiet.said,
              "[out]TJA1145: Sleep mode\n"
              "[out]TJA1145 transition to Sleep mode triggered by an SPI command\n"
              "[err]TJA1145: CAN transceiver not in Active mode\n"
              "[out]TJA1145: No CAN partial networking error detected(PNFDE = 0 AND PNCOK = 1)\n"
              "[out]TJA1145:CAN partial networking configuration error\ndetected (PNCOK = 0)\n"
              "[err]TJA1145: CAN partial networking oscillator not running at target frequency\n"
              "[out]TJA1145: CAN bus active (communication detected on bus)\n"
              "[err]\n\n" +
                  no_event);

    // Each bit on its own: bit 5 alone says the configuration is OK, and nothing else.
    bench pncok;
    pncok.c.regs[0x22] = 0x20;
    report_status(pncok.port(), 0, 0);
    EXPECT_NE(pncok.said.find("[out]TJA1145: No CAN partial networking error detected"),
              std::string::npos);
    EXPECT_NE(pncok.said.find("[err]TJA1145: CAN partial networking configuration OK\n"),
              std::string::npos);
    EXPECT_NE(pncok.said.find("[out]TJA1145: CAN bus active"), std::string::npos);
}

TEST(StatusReport, AlarmsRaiseTheResultOthersPassItOn) {
    struct {
        int mode;
        std::uint8_t mode_reg, main, trx, event;  // event: transceiver event register
        int result_in, result;
        const char* mode_name;
    } cases[] = {
        {0, 0x04, 0x00, 0x10, 0x00, 0, 0, "Standby"},
        {0, 0x04, 0x00, 0x10, 0x00, 1, 1, "Standby"},
        {0, 0x01, 0x80, 0x10, 0x00, 0, 0, "Sleep"},  // bit 7 counts in mode 1 only
        {3, 0x01, 0x80, 0x10, 0x00, 0, 0, "Sleep"},
        {1, 0x01, 0x80, 0x10, 0x00, 0, 1, "Sleep"},
        {2, 0x07, 0x40, 0x10, 0x00, 0, 1, "Normal"},
        {2, 0x07, 0x20, 0xF8, 0x00, 0, 0, "Normal"},
        {2, 0x07, 0x00, 0x12, 0x00, 0, 1, "Normal"},
        {2, 0x07, 0x00, 0x11, 0x00, 0, 1, "Normal"},
        {2, 0x07, 0x00, 0x10, 0x10, 0, 0, "Normal"},  // bus silence is no alarm
        {2, 0x07, 0x00, 0x10, 0x01, 0, 1, "Normal"},  // a wake-up event is
        {0, 0x00, 0x00, 0x10, 0x00, 0, 0, "Unknown"},
        {0, 0xF9, 0x00, 0x10, 0x00, 0, 0, "Sleep"},  // the low three bits name the mode
    };
    for (const auto& c : cases) {
        bench b;
        b.c.regs[0x01] = c.mode_reg;
        b.c.regs[0x03] = c.main;
        b.c.regs[0x22] = c.trx;
        b.c.regs[0x63] = c.event;
        EXPECT_EQ(report_status(b.port(), c.mode, c.result_in), c.result)
            << c.mode << " " << int{c.main} << " " << int{c.trx};
        EXPECT_TRUE(b.said.starts_with("[out]TJA1145: " + std::string(c.mode_name) + " mode\n"));
        EXPECT_EQ(b.writes(), "") << "the report only reads";
    }
}

TEST(EventReport, OneRegisterDecodedWakePinFirstThenTransceiverThenSystem) {
    struct {
        std::uint8_t global, system, transceiver, wake_pin;
        std::string said;
        int counted;
    } cases[] = {
        {0, 0, 0, 0, no_event, 0},
        {0, 0, 0, 0x02, "[err]TJA1145: Rising edge detected on WAKE pin\n", 1},
        {0, 0, 0, 0x03,
         "[err]TJA1145: Rising edge detected on WAKE pin\n"
         "[err]TJA1145: Falling edge detected on WAKE pin\n",
         1},
        {0, 0x10, 0x01, 0x01, "[err]TJA1145: Falling edge detected on WAKE pin\n", 1},
        {0, 0, 0x02, 0, "[err]TJA1145: CAN failure event detected\n", 1},
        {0, 0, 0x20, 0, "[err]TJA1145: Partial networking frame detection error detected\n", 1},
        {0, 0, 0x10, 0, "[out]TJA1145: No activity on CAN-bus for tto(silence)\n", 0},
        {0, 0x04, 0x33, 0,
         "[err]TJA1145: Partial networking frame detection error detected\n"
         "[out]TJA1145: No activity on CAN-bus for tto(silence)\n"
         "[err]TJA1145: CAN failure event detected\n"
         "[err]TJA1145: CAN wake-up event detected\n",
         1},
        {0, 0x16, 0, 0,
         "[err]TJA1145: The TJA1145 has left off mode after battery power-on\n"
         "[err]TJA1145: the global chip temperature has exceeded the\novertemperature warning "
         "threshold (Tth(warn)otp)\n"
         "[err]TJA1145:SPI failure detected\n",
         1},
        {0, 0x01, 0, 0, "", 0},  // a bit the report does not know
        {0x08, 0, 0, 0, "", 0},  // summary bit without a captured edge
        {0x02, 0, 0, 0, "[err]ERROR wrong parsing global event! value:0x2", 1},
        {0x80, 0, 0, 0, "[err]ERROR wrong parsing global event! value:0x80", 1},
    };
    for (const auto& c : cases) {
        bench b;
        b.c.regs[0x60] = c.global;
        b.c.regs[0x61] = c.system;
        b.c.regs[0x63] = c.transceiver;
        b.c.regs[0x64] = c.wake_pin;
        EXPECT_EQ(report_events(b.port()), c.counted) << c.said;
        EXPECT_EQ(b.said, c.said);
        EXPECT_EQ(b.writes(), "");
    }
}

}  // namespace
