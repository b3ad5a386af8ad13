// Byte strings of the tests, and bytes written as hex text ("7e7e7ea7 00": spaces are ignored).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace support {

using bytes = std::vector<std::uint8_t>;

inline bytes hex(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    if (digits.size() % 2 != 0) throw std::invalid_argument("odd hex text");
    bytes out;
    for (std::size_t k = 0; k < digits.size(); k += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(k, 2), nullptr, 16)));
    return out;
}

inline std::string text(const bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace support
