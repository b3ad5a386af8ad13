// Chips for the tests: register images built on the TJA1145 model of the stand-ins.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "boardsim/preload/tja1145.hpp"

namespace trxtest {

using chip = boardsim::tja1145::chip;

// A chip with nothing to clear: all registers 0, data masks 0xFF, identification 0x70. The
// preparation then only reads.
inline chip clean_chip() {
    chip c;
    for (int a = 0x68; a <= 0x6F; ++a)
        c.regs[static_cast<std::size_t>(a)] = 0xFF;
    c.regs[0x7E] = 0x70;
    return c;
}

// Sets registers and makes them stuck at those values.
inline void stick(chip& c, std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> regs) {
    for (auto [address, value] : regs) {
        c.regs[address] = value;
        c.stuck[address] = true;
    }
}

}  // namespace trxtest
