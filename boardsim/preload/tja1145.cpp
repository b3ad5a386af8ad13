#include "boardsim/preload/tja1145.hpp"

#include <algorithm>

namespace boardsim::tja1145 {

namespace {

constexpr std::uint8_t spi_failure = 0x02;  // bit of the system event register

bool is_event_register(std::uint8_t address) {
    return address == system_event || address == transceiver_event || address == wake_pin_event;
}

}  // namespace

chip power_on() {
    chip c;
    c.regs[0x01] = 0x04;          // Standby
    c.regs[0x03] = 0x20;          // powered up, not yet in Normal mode
    c.regs[0x22] = 0x18;          // oscillator running, bus inactive
    c.regs[0x4C] = 0x03;          // wake-up on both WAKE pin edges
    c.regs[system_event] = 0x10;  // left off mode after power-on
    std::fill(c.regs.begin() + 0x68, c.regs.begin() + 0x70, std::uint8_t{0xFF});
    c.regs[0x7E] = 0x70;
    return c;
}

std::uint8_t read(const chip& c, std::uint8_t address) {
    address &= 0x7F;
    std::uint8_t value = c.regs[address];
    if (address == global_event) {
        if (c.regs[system_event] != 0) value |= 0x01;
        if (c.regs[transceiver_event] != 0) value |= 0x04;
        if (c.regs[wake_pin_event] != 0) value |= 0x08;
    }
    return value;
}

void write(chip& c, std::uint8_t address, std::uint8_t value) {
    address &= 0x7F;
    if (c.stuck[address]) return;
    if (is_event_register(address))
        c.regs[address] &= static_cast<std::uint8_t>(~value);
    else
        c.regs[address] = value;
}

void serve(chip& c, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    std::fill(rx.begin(), rx.end(), std::uint8_t{0});
    if (tx.size() != 2) {
        if (!tx.empty()) c.regs[system_event] |= spi_failure;
        return;
    }
    const auto address = static_cast<std::uint8_t>(tx[0] >> 1);
    if (rx.size() == 2) rx[1] = read(c, address);
    if ((tx[0] & 0x01) == 0) write(c, address, tx[1]);
}

}  // namespace boardsim::tja1145
