#include "trxset/tja1145.hpp"

#include <cstdarg>
#include <cstdio>

namespace trxset {

namespace {

[[gnu::format(printf, 3, 4)]] void say(const chip_port& port, stream where, const char* format,
                                       ...) {
    std::array<char, 256> text;
    va_list ap;
    va_start(ap, format);
    vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    port.print(port.context, where, text.data());
}

bool bit(std::uint8_t value, int n) {
    return ((value >> n) & 1) != 0;
}

constexpr std::uint8_t no_frame_control = 0xFF;

// Wake-up configuration, cleared in this order before every mode change.
constexpr std::array<std::uint8_t, 11> wake_configuration{
    reg::data_rate, reg::mask0,   reg::mask0 + 1, reg::mask0 + 2,     reg::mask0 + 3,  reg::id0,
    reg::id0 + 1,   reg::id0 + 2, reg::id0 + 3,   reg::frame_control, reg::wake_source};
constexpr std::array<std::uint8_t, 3> event_registers{reg::system_event, reg::transceiver_event,
                                                      reg::wake_pin_event};

struct data_rate {
    std::uint32_t kbit;
    std::uint8_t code;
};
constexpr std::array<data_rate, 7> data_rates{{
    {50, 0}, {100, 1}, {125, 2}, {250, 3}, {500, 5}, {1000, 7}, {1, 7},  // 1 Mbit/s
}};

// Interface texts, exact to the letter, misspellings included (Sleep by any frame says "wakup", by
// a wake-up frame "wake up"): scripts in the field match them and the tests pin them. Never tidy
// one.
const char* wakeup_message_any = "Got wakup event!(sleep not possible)\n";
const char* wakeup_message_frame = "Got wake up event!(sleep not possible)\n";

bool prepare(const chip_port& port) {
    if (reg_clear(port, reg::wake_pin) != 0) {
        say(port, stream::err,
            "TJA1145: WARNING: is not able to disable wakup pin from possible unwanted restart "
            "in sleep mode (register 0x4C): 0x%x\n",
            reg_read(port, reg::wake_pin));
        return false;
    }
    for (std::uint8_t address : wake_configuration)
        if (reg_read(port, address) != 0 && reg_clear(port, address) != 0) {
            say(port, stream::err, "TJA1145: Could not clear register 0x%x\n", address);
            return false;
        }
    for (int bank = 7; bank >= 0; --bank) {
        const auto address = static_cast<std::uint8_t>(reg::data_mask0 + bank);
        if (reg_read(port, address) == 0xFF) continue;
        reg_write(port, address, 0xFF);
        if (reg_read(port, address) != 0xFF) {
            say(port, stream::err,
                "TJA1145: Could not clear data mask register 0x%x to default value\n", address);
            return false;
        }
    }
    if (reg_read(port, reg::global_event) == 0) {
        say(port, stream::out, "TJA1145: No event captured(no wake up source is triggered)\n");
        return true;
    }
    for (std::uint8_t address : event_registers)
        if (reg_read(port, address) != 0 && reg_clear(port, address) != 0)
            say(port, stream::err,
                "TJA1145: WARNING: Could not clear event capture register:0x%x with value:0x%x \n",
                address, reg_read(port, address));
    return true;
}

// 0 when the wake-up frame is programmed, 1 after a message. Registers that did not take the
// value written are counted in `mismatches` (each after its message); the work goes on.
int set_wake_frame(const chip_port& port, const trx_options& o, int& mismatches) {
    if (o.fc == no_frame_control) {
        say(port, stream::err, "TJA1145: No wuf initialized\n");
        return 1;
    }
    if (o.id == 0) {
        say(port, stream::err, "TJA1145: Something got wrong with id=0x%x\n", o.id);
        return 1;
    }
    const int dlc = o.fc & 0x0F;
    say(port, stream::out, "TJA1145: Add \"data masks\" for %d banks\n", dlc);
    if (dlc != 0) {
        bool any = false;
        for (auto m : o.dm)
            any = any || m != 0;
        if (!any) {
            say(port, stream::err, "TJA1145: No data mask bank found, expect at least one.\n");
            return 1;
        }
        std::uint8_t masks_failed = 0;
        for (int bank = 7; bank >= 0; --bank) {
            const std::uint8_t m = o.dm[static_cast<std::size_t>(bank)];
            if (m != 0)
                masks_failed = static_cast<std::uint8_t>(
                    masks_failed +
                    reg_write_verify(port, static_cast<std::uint8_t>(reg::data_mask0 + bank), m));
        }
        if (masks_failed != 0) {
            say(port, stream::err, "TJA1145: Write to data mask bank failed\n");
            return 1;
        }
    }
    const data_rate* rate = nullptr;
    for (const auto& r : data_rates)
        if (r.kbit == o.cdr) rate = &r;
    if (!rate) {
        say(port, stream::err,
            "TJA1145: No valid kbit/s rate found, expect 50,100,125,250,500,1000(1).Abort!\n");
        return 1;
    }
    auto verify = [&](int address, std::uint8_t value) {
        mismatches += reg_write_verify(port, static_cast<std::uint8_t>(address), value);
    };
    verify(reg::data_rate, rate->code);

    auto byte = [](std::uint32_t v, int n) { return static_cast<std::uint8_t>(v >> (8 * n)); };
    if (bit(o.fc, 7)) {  // extended identifier: all four bytes, least significant first
        for (int n = 0; n < 4; ++n)
            verify(reg::mask0 + n, byte(o.mask, n));
        for (int n = 0; n < 4; ++n)
            verify(reg::id0 + n, byte(o.id, n));
    } else {  // standard identifier: bits 10-0 in bits 12-2 of the upper two registers
        const std::uint32_t mask = o.mask << 2, id = o.id << 2;
        verify(reg::mask0 + 2, static_cast<std::uint8_t>(mask & 0xFC));
        verify(reg::mask0 + 3, byte(mask, 1));
        verify(reg::id0 + 2, static_cast<std::uint8_t>(id & 0xFC));
        verify(reg::id0 + 3, byte(id, 1));
    }
    verify(reg::frame_control, o.fc);
    return 0;
}

// Commands Sleep; an event already pending keeps the chip awake. A register that did not take
// its value fails the run, here or (`mismatches`) earlier in the mode's work.
programming enter_sleep(const chip_port& port, std::uint8_t can_control, const char* wakeup_message,
                        int mismatches = 0) {
    mismatches += reg_write_verify(port, reg::can_control, can_control);
    mismatches += reg_write_verify(port, reg::mode, mode_value::sleep);
    if (report_events(port) == 0) return {true, mismatches != 0 ? 1 : 0, false};
    say(port, stream::err, "%s", wakeup_message);
    return {true, 1, true};
}

programming wake_source_failed(const chip_port& port) {
    say(port, stream::err, "TJA1145: Set wake up source failed.\n");
    return {true, 1, false};
}

const char* mode_name(std::uint8_t mode_register) {
    switch (mode_register & mode_value::mask) {
        case mode_value::sleep:
            return "Sleep";
        case mode_value::standby:
            return "Standby";
        case mode_value::normal:
            return "Normal";
        default:
            return "Unknown";
    }
}

}  // namespace

std::uint8_t reg_read(const chip_port& port, std::uint8_t address) {
    return port.transfer(port.context, static_cast<std::uint8_t>((address << 1) | 1), 0x00);
}

void reg_write(const chip_port& port, std::uint8_t address, std::uint8_t value) {
    port.transfer(port.context, static_cast<std::uint8_t>(address << 1), value);
}

int reg_write_verify(const chip_port& port, std::uint8_t address, std::uint8_t value) {
    reg_write(port, address, value);
    const std::uint8_t back = reg_read(port, address);
    if (back == value) return 0;
    say(port, stream::err, "TJA1145: register: 0x%x with return value: 0x%x expected:0x%x\n ",
        address, back, value);
    return 1;
}

std::uint8_t reg_clear(const chip_port& port, std::uint8_t address) {
    // Writing the value back clears the bits of an event register.
    reg_write(port, address, reg_read(port, address));
    if (reg_read(port, address) == 0) return 0;
    reg_write(port, address, 0);
    return reg_read(port, address);
}

bool identify_transceiver(const chip_port& port, int transceiver) {
    const std::uint8_t id = reg_read(port, reg::identification);
    if ((id & 0xFB) == 0x70) {
        say(port, stream::out, "Found transceiver%d device: %s\n\n", transceiver, "TJA1145T/K");
        return true;
    }
    say(port, stream::err, "Unknown transceiver%d device: %.2X\n", transceiver, id);
    return false;
}

int set_wake_source(const chip_port& port, std::uint8_t value) {
    reg_write(port, reg::wake_source, value);
    if (reg_read(port, reg::wake_source) == value) return 0;
    say(port, stream::err,
        "TJA1145: WARNING: is not able to set correct source of wakup (register 0x23): 0x%x\n",
        reg_read(port, reg::wake_source));
    return 1;
}

bool mode_accepted(const chip_port& port, int mode) {
    if (mode >= identify_only && mode <= sleep_wake_on_pin) return true;
    say(port, stream::err, "Unknown mode: %d\n", mode);
    return false;
}

programming program_transceiver(const chip_port& port, const trx_options& options) {
    if (!prepare(port)) return {false, 1, false};
    switch (options.mode) {
        case sleep_wake_on_any_frame:
            if (set_wake_source(port, wake_source_value::can_wake_up) != 0)
                return wake_source_failed(port);
            return enter_sleep(port, can_control_value::offline, wakeup_message_any);
        case normal_mode: {
            int mismatches = reg_write_verify(port, reg::can_control, can_control_value::active);
            mismatches += reg_write_verify(port, reg::mode, mode_value::normal);
            return {true, mismatches != 0 ? 1 : 0, false};
        }
        case sleep_wake_on_frame: {
            int mismatches = 0;
            if (set_wake_frame(port, options, mismatches) != 0) return {true, 1, false};
            if (set_wake_source(port, wake_source_value::can_wake_up) != 0)
                return wake_source_failed(port);
            return enter_sleep(port, can_control_value::wake_frame, wakeup_message_frame,
                               mismatches);
        }
        case sleep_wake_on_pin: {
            reg_write(port, reg::wake_pin, wake_pin_value::rising_edge);
            const std::uint8_t pin = reg_read(port, reg::wake_pin);
            if (pin != wake_pin_value::rising_edge) {
                say(port, stream::err,
                    "TJA1145: WARNING: is not able to set wakeup on rising-edge (register 0x4C): "
                    "0x%x\n",
                    pin);
                return wake_source_failed(port);
            }
            if (set_wake_source(port, wake_source_value::none) != 0)
                return wake_source_failed(port);
            return enter_sleep(port, can_control_value::offline, wakeup_message_any);
        }
        default:  // refused by mode_accepted before the chip was touched
            return {false, 1, false};
    }
}

int report_status(const chip_port& port, int mode, int result) {
    bool alarm = false;
    say(port, stream::out, "TJA1145: %s mode\n", mode_name(reg_read(port, reg::mode)));

    const std::uint8_t main = reg_read(port, reg::main_status);
    if (mode == sleep_wake_on_any_frame) {
        if (bit(main, 7)) {
            say(port, stream::err,
                "TJA1145: under-voltage on VCC and/or VIO forced a transition to Sleep mode\n");
            alarm = true;
        } else {
            say(port, stream::out,
                "TJA1145 transition to Sleep mode triggered by an SPI command\n");
        }
    }
    if (bit(main, 6)) {
        say(port, stream::err, "TJA1145: temperature above over-temperature warning threshold\n");
        alarm = true;
    }
    if (bit(main, 5))
        say(port, stream::out, "TJA1145: powered up but has not yet switched to Normal mode\n");

    const std::uint8_t trx = reg_read(port, reg::transceiver_status);
    if (bit(trx, 7))
        say(port, stream::out, "TJA1145: CAN transceiver in Active mode\n");
    else
        say(port, stream::err, "TJA1145: CAN transceiver not in Active mode\n");
    if (bit(trx, 6))
        say(port, stream::err,
            "TJA1145: CAN partial networking error detected (PNFDE = 1\nOR PNCOK = 0); wake-up "
            "via standard wake-up\npattern only\n");
    else
        say(port, stream::out,
            "TJA1145: No CAN partial networking error detected(PNFDE = 0 AND PNCOK = 1)\n");
    if (bit(trx, 5))
        say(port, stream::err, "TJA1145: CAN partial networking configuration OK\n(PNCOK = 1)\n");
    else
        say(port, stream::out,
            "TJA1145:CAN partial networking configuration error\ndetected (PNCOK = 0)\n");
    if (!bit(trx, 4))
        say(port, stream::err,
            "TJA1145: CAN partial networking oscillator not running at target frequency\n");
    if (bit(trx, 3))
        say(port, stream::out, "TJA1145: CAN bus inactive\n");
    else
        say(port, stream::out, "TJA1145: CAN bus active (communication detected on bus)\n");
    if (bit(trx, 1)) {
        say(port, stream::err,
            "TJA1145: Vcc is below the under-voltage detection threshold(Vuvd(Vcc))\n");
        alarm = true;
    }
    if (bit(trx, 0)) {
        say(port, stream::err,
            "TJA1145: CAN transmitter disabled due to a TXD dominant time-out event\n");
        alarm = true;
    }
    say(port, stream::err, "\n\n");

    if (report_events(port) != 0) alarm = true;
    return alarm ? 1 : result;
}

int report_events(const chip_port& port) {
    const std::uint8_t global = reg_read(port, reg::global_event);
    if (global == 0) {
        say(port, stream::out, "TJA1145: No event captured(no wake up source is triggered)\n");
        return 0;
    }
    bool counted = false;
    if (bit(global, 3)) {  // WAKE pin
        const std::uint8_t e = reg_read(port, reg::wake_pin_event);
        if (bit(e, 1)) say(port, stream::err, "TJA1145: Rising edge detected on WAKE pin\n");
        if (bit(e, 0)) say(port, stream::err, "TJA1145: Falling edge detected on WAKE pin\n");
        counted = bit(e, 1) || bit(e, 0);
    } else if (bit(global, 2)) {  // transceiver
        const std::uint8_t e = reg_read(port, reg::transceiver_event);
        if (bit(e, 5))
            say(port, stream::err, "TJA1145: Partial networking frame detection error detected\n");
        if (bit(e, 4))  // bus silence is no reason to stay awake
            say(port, stream::out, "TJA1145: No activity on CAN-bus for tto(silence)\n");
        if (bit(e, 1)) say(port, stream::err, "TJA1145: CAN failure event detected\n");
        if (bit(e, 0)) say(port, stream::err, "TJA1145: CAN wake-up event detected\n");
        counted = bit(e, 5) || bit(e, 1) || bit(e, 0);
    } else if (bit(global, 0)) {  // system
        const std::uint8_t e = reg_read(port, reg::system_event);
        if (bit(e, 4))
            say(port, stream::err,
                "TJA1145: The TJA1145 has left off mode after battery power-on\n");
        if (bit(e, 2))
            say(port, stream::err,
                "TJA1145: the global chip temperature has exceeded the\novertemperature warning "
                "threshold (Tth(warn)otp)\n");
        if (bit(e, 1)) say(port, stream::err, "TJA1145:SPI failure detected\n");
        counted = bit(e, 4) || bit(e, 2) || bit(e, 1);
    } else {
        say(port, stream::err, "ERROR wrong parsing global event! value:0x%x", global);
        return 1;
    }
    return counted ? 1 : 0;
}

}  // namespace trxset
