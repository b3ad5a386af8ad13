#include "trxset/options.hpp"

#include <getopt.h>

#include <algorithm>

namespace trxset {

namespace {

struct scanned {
    std::uint64_t magnitude;  // saturated at 0xFFFFFFFF
    bool negative;
    bool overflow;
};

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// base 0 takes the base from the prefix.
scanned scan(std::string_view text, int base) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (base == 0) {
        const bool hex_prefix = i + 2 < text.size() && text[i] == '0' &&
                                (text[i + 1] == 'x' || text[i + 1] == 'X') &&
                                digit_value(text[i + 2]) < 16;
        if (hex_prefix) {
            base = 16;
            i += 2;
        } else {
            base = i < text.size() && text[i] == '0' ? 8 : 10;
        }
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && digit_value(text[i]) < base; ++i) {
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit_value(text[i]));
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    return {value, negative, overflow};
}

bool store_wuf(std::string_view key, std::uint32_t value, trx_options& o) {
    const auto low8 = static_cast<std::uint8_t>(value);
    if (key == "fc")
        o.fc = low8;
    else if (key == "id")
        o.id = value;
    else if (key == "mask")
        o.mask = value;
    else if (key == "cdr")
        o.cdr = value;
    else if (key.size() == 3 && key.starts_with("dm") && key[2] >= '0' && key[2] <= '7')
        o.dm[static_cast<std::size_t>(key[2] - '0')] = low8;
    else
        return false;
    return true;
}

}  // namespace

// -D: "can" and one decimal digit; anything else after "can" is transceiver 0.
bool read_device(std::string_view text, std::uint8_t& device) {
    if (!text.starts_with("can")) return false;
    const char c = text.size() > 3 ? text[3] : '\0';
    device = c >= '0' && c <= '9' ? static_cast<std::uint8_t>(c - '0') : 0;
    return true;
}

std::uint32_t to_unsigned(std::string_view text) {
    const scanned s = scan(text, 0);
    if (s.overflow) return 0xFFFFFFFFu;
    const auto v = static_cast<std::uint32_t>(s.magnitude);
    return s.negative ? 0u - v : v;
}

std::int32_t to_decimal(std::string_view text) {
    const scanned s = scan(text, 10);
    if (s.negative)
        return s.overflow || s.magnitude > 0x80000000u
                   ? INT32_MIN
                   : static_cast<std::int32_t>(-static_cast<std::int64_t>(s.magnitude));
    return s.overflow || s.magnitude > 0x7FFFFFFFu ? INT32_MAX
                                                   : static_cast<std::int32_t>(s.magnitude);
}

bool read_wuf(std::string_view text, trx_options& options) {
    // Items are separated by commas; one trailing comma ends the list, an empty item does not.
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(','), text.size());
        const std::string_view item(text.data(), end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) return false;
        const std::string_view key(item.data(), equals);
        const std::string_view value(item.data() + equals + 1, item.size() - equals - 1);
        if (!store_wuf(key, to_unsigned(value), options)) return false;
    }
    return true;
}

option_reading read_options(int argc, char** argv, trx_options& options) {
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
            case 'D':
                if (!read_device(optarg, options.device))
                    return {option_outcome::bad_device, optarg};
                break;
            case 'm':
                options.mode = static_cast<std::uint8_t>(to_decimal(optarg));
                break;
            case 'w':
                if (!read_wuf(optarg, options)) return {option_outcome::bad_wuf, optarg};
                break;
            case 's':
                options.status = true;
                break;
            default:
                return {option_outcome::usage, nullptr};
        }
    }
    return {option_outcome::run, nullptr};
}

}  // namespace trxset
