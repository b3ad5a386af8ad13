// nodectl's printed forms: the verbose hex dump and the statistics tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "frmcu/ctrl_protocol.hpp"

namespace nodectl {

// "\nLength: N", sixteen "\xHH" per line, then an empty line.
void print_hex_dump(std::FILE* out, std::span<const std::uint8_t> bytes);

// Mode, POC state and the counters, every column padded to its width.
void print_statistics(std::FILE* out, const frmcu::statistics& s);

}  // namespace nodectl
