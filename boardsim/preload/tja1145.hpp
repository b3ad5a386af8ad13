// Model of a TJA1145 CAN transceiver as its SPI interface sees it: 128 register bytes, some
// of them stuck, write-1-to-clear event registers and the global event summary.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace boardsim::tja1145 {

inline constexpr std::size_t register_count = 128;

inline constexpr std::uint8_t global_event = 0x60;
inline constexpr std::uint8_t system_event = 0x61;
inline constexpr std::uint8_t transceiver_event = 0x63;
inline constexpr std::uint8_t wake_pin_event = 0x64;

struct chip {
    std::array<std::uint8_t, register_count> regs{};
    std::array<bool, register_count> stuck{};  // registers that ignore writes
};

// A chip straight after power-on: Standby, identification 0x70, power-on event captured.
chip power_on();

std::uint8_t read(const chip& c, std::uint8_t address);
void write(chip& c, std::uint8_t address, std::uint8_t value);

// Serves one chip-select frame of two bytes: byte 0 holds the address in bits 7-1 and the
// read-only flag in bit 0, byte 1 the value written; rx[1] gets the register's value. Frames
// of another length are ignored and flagged as an SPI failure event, as the chip does.
void serve(chip& c, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx);

}  // namespace boardsim::tja1145
