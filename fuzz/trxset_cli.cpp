// trxset's command line: -D, -m, -w and -s as read_options takes them, and its conversions.
//
// Input: the argument words, separated by NUL bytes.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/common.hpp"
#include "trxset/options.hpp"

namespace {

using namespace trxset;

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// strtoul and strtol of a C library whose long has 32 bits, as the board's has.
std::uint32_t strtoul32(const std::string& text, int base) {
    const char* p = text.c_str();
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p == '+' || *p == '-' || is_space(*p)) return 0;  // no number after the sign
    errno = 0;
    const unsigned long long m = std::strtoull(p, nullptr, base);
    if (errno == ERANGE || m > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    return negative ? 0u - static_cast<std::uint32_t>(m) : static_cast<std::uint32_t>(m);
}
std::int32_t strtol32(const std::string& text) {
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// The -w rule, from its description: items split at commas, each key=value with a known key.
bool wuf_rule(std::string_view text, trx_options& o) {
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) return false;  // also the empty item
        const std::string_view key = item.substr(0, equals);
        const std::uint32_t v = strtoul32(std::string(item.substr(equals + 1)), 0);
        if (key == "fc") {
            o.fc = static_cast<std::uint8_t>(v);
        } else if (key == "id") {
            o.id = v;
        } else if (key == "mask") {
            o.mask = v;
        } else if (key == "cdr") {
            o.cdr = v;
        } else if (key.size() == 3 && key[0] == 'd' && key[1] == 'm' && key[2] >= '0' &&
                   key[2] <= '7') {
            o.dm[static_cast<std::size_t>(key[2] - '0')] = static_cast<std::uint8_t>(v);
        } else {
            return false;
        }
    }
    return true;
}

bool same(const trx_options& a, const trx_options& b) {
    return a.device == b.device && a.mode == b.mode && a.status == b.status && a.fc == b.fc &&
           a.id == b.id && a.mask == b.mask && a.cdr == b.cdr && a.dm == b.dm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::argument_words words("trxset", data, size);
    opterr = 0;  // the parser's complaints are no part of what is checked

    // What the options are, as the parser hands them out, and what they must make.
    std::vector<char*> argv = words.argv();
    optind = 0;
    trx_options model;
    option_reading expected{option_outcome::run, nullptr};
    std::string refused;
    int c;
    while ((c = getopt_long(words.argc(), argv.data(), trxset::short_options, trxset::long_options,
                            nullptr)) != -1) {
        if (c == 'D') {
            const std::string_view arg(optarg);
            if (!arg.starts_with("can")) {
                expected.outcome = option_outcome::bad_device;
                refused = arg;
                break;
            }
            model.device = arg.size() > 3 && arg[3] >= '0' && arg[3] <= '9'
                               ? static_cast<std::uint8_t>(arg[3] - '0')
                               : 0;
        } else if (c == 'm') {
            model.mode = static_cast<std::uint8_t>(strtol32(optarg));
        } else if (c == 'w') {
            if (!wuf_rule(optarg, model)) {
                expected.outcome = option_outcome::bad_wuf;
                refused = optarg;
                break;
            }
        } else if (c == 's') {
            model.status = true;
        } else {
            expected.outcome = option_outcome::usage;
            break;
        }
    }

    argv = words.argv();
    optind = 0;
    trx_options options;
    const option_reading reading = read_options(words.argc(), argv.data(), options);
    FUZZ_REQUIRE(reading.outcome == expected.outcome);
    if (reading.outcome == option_outcome::run) FUZZ_REQUIRE(same(options, model));
    if (reading.outcome == option_outcome::bad_device || reading.outcome == option_outcome::bad_wuf)
        FUZZ_REQUIRE(reading.argument != nullptr && reading.argument == refused);
    if (reading.outcome == option_outcome::usage) FUZZ_REQUIRE(reading.argument == nullptr);

    // The conversions on every word, as the board's C library makes them.
    for (char* word : words.argv()) {
        if (!word) break;
        const std::string w(word);
        FUZZ_REQUIRE(to_unsigned(w) == strtoul32(w, 0));
        FUZZ_REQUIRE(to_decimal(w) == strtol32(w));
        trx_options a, b;
        const bool taken = read_wuf(w, a);
        FUZZ_REQUIRE(taken == wuf_rule(w, b));
        if (taken) FUZZ_REQUIRE(same(a, b));
    }
    return 0;
}
