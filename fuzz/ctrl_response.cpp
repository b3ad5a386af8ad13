// Node control responses as nodectl takes them: the header rules (magic, then ID), the message
// rules (length, then return code), the statistics record and the texts printed for them.
//
// Input: one byte that picks the command (start, stop, statistics), one that gives how many
// bytes the header read returned (0 to 10), the header bytes, then what the message read
// returns (at most 256 bytes are read).
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "frmcu/ctrl_protocol.hpp"
#include "fuzz/common.hpp"
#include "nodectl/report.hpp"

namespace {

using namespace frmcu;
using fuzz::be16;
using fuzz::be32;

// The code tables as the protocol lists them.
struct coded {
    std::uint32_t code;
    std::string_view text;
};
constexpr coded poc_table[] = {
    {0x00, "DEFAULT CONFIG"},
    {0x01, "READY"},
    {0x02, "NORMAL ACTIVE"},
    {0x03, "NORMAL PASSIVE"},
    {0x04, "HALT"},
    {0x05, "MONITOR MODE"},
    {0x0D, "LOOPBACK MODE"},
    {0x0F, "CONFIG"},
    {0x10, "WAKEUP STANDBY"},
    {0x11, "WAKEUP LISTEN"},
    {0x12, "WAKEUP_SEND"},
    {0x13, "WAKEUP_DETECT"},
    {0x20, "STARTUP_PREPARE"},
    {0x21, "COLDSTART_LISTEN"},
    {0x22, "COLDSTART_COLLISION_RESOLUTION"},
    {0x23, "COLDSTART_CONSISTENCY_CHECK"},
    {0x24, "COLDSTART_GAP"},
    {0x25, "COLDSTART_JOIN"},
    {0x26, "COLDSTART_CHECK"},
    {0x27, "INTEGRATION_LISTEN"},
    {0x28, "CONSISTENCY_CHECK"},
    {0x29, "INITIALIZE_SCHEDULE"},
    {0x2A, "ABORT_STARTUP"},
};
constexpr std::string_view mode_table[] = {"ACTIVE", "PASSIVE", "COMMHALT", "RESERVED"};
constexpr std::string_view return_table[] = {
    "OK", "NOK", "NOT_IMPLMENTED", "INVALID_OPTIONS", "OPERATION_NOT_ALLOWED", "INVALID_VERSION"};

std::string_view state_text(std::uint32_t state) {
    for (const auto& s : poc_table)
        if (s.code == state) return s.text;
    return "UNKNOWN";
}
std::string_view mode_text(std::uint32_t mode) {
    return mode < std::size(mode_table) ? mode_table[mode] : "UNKNOWN";
}
std::string_view return_text(unsigned code) {
    return code < std::size(return_table) ? return_table[code] : "UNKNOWN";
}

// "\nLength: N", then "\xHH" per byte, sixteen to a line, then an empty line.
void check_hex_dump(std::span<const std::uint8_t> bytes) {
    const std::string out = fuzz::printed([&](std::FILE* f) { nodectl::print_hex_dump(f, bytes); });
    std::string expected = "\nLength: " + std::to_string(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) expected += '\n';
        static constexpr char digits[] = "0123456789ABCDEF";
        expected += "\\x";
        expected += digits[bytes[i] >> 4];
        expected += digits[bytes[i] & 0xF];
    }
    expected += "\n\n";
    FUZZ_REQUIRE(out == expected);
}

// A row of numbers, each left-aligned in 13 columns.
void check_number_row(std::string_view row, std::initializer_list<std::uint32_t> words) {
    FUZZ_REQUIRE(row.size() == 13 * words.size());
    std::size_t at = 0;
    for (std::uint32_t w : words) {
        const std::string cell(row.substr(at, 13));
        const std::string digits = std::to_string(w);
        FUZZ_REQUIRE(cell == digits + std::string(13 - digits.size(), ' '));
        at += 13;
    }
}

void check_report(const statistics& s) {
    const std::string out = fuzz::printed([&](std::FILE* f) { nodectl::print_statistics(f, s); });
    std::vector<std::string_view> lines;
    std::string_view rest(out);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        FUZZ_REQUIRE(end != std::string_view::npos);  // every line ends
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    FUZZ_REQUIRE(lines.size() == 6);
    FUZZ_REQUIRE(lines[0] == "MODE:  " + std::string(mode_text(s.mode)));
    FUZZ_REQUIRE(lines[1] == "STATE: " + std::string(state_text(s.state)));
    FUZZ_REQUIRE(lines[2] == "ERR: overrun syntax       frame        content      boundary     ");
    check_number_row(lines[3], {s.overrun, s.syntax, s.frame, s.content, s.boundary});
    FUZZ_REQUIRE(lines[4] == "fifo_level   bytes        frames       null-frames  ");
    check_number_row(lines[5], {s.fifo_level, s.bytes, s.frames, s.null_frames});
}

verdict header_rule(std::span<const std::uint8_t> h, int code) {
    if (h.size() < ctrl_header_size) return verdict::short_header;
    if (!(h[0] == 'F' && h[1] == 'C' && h[2] == '0' && h[3] == '1')) return verdict::wrong_magic;
    if (be16(&h[8]) != (0x8000u | static_cast<unsigned>(code))) return verdict::wrong_id;
    return verdict::accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int code = 1 + data[0] % 3;
    const FR_CTRL_REQ request = build_request(code);
    const std::array<std::uint8_t, 10> wanted{'F', 'C', '0', '1', 0,
                                              0,   0,   10,  0,   static_cast<std::uint8_t>(code)};
    FUZZ_REQUIRE(std::equal(request.begin(), request.end(), wanted.begin()));
    check_hex_dump(request);

    // Each read in a buffer of its own size: ASan stops any look past the bytes received.
    const std::size_t header_read = std::min<std::size_t>(data[1] % 11, size - 2);
    const std::vector<std::uint8_t> header(data + 2, data + 2 + header_read);
    const verdict hv = check_header(header, code);
    FUZZ_REQUIRE(hv == header_rule(header, code));
    if (hv != verdict::accepted) return 0;  // the message is never read
    check_hex_dump(header);

    const FR_CTRL_HEADER h = parse_header(
        std::span<const std::uint8_t, ctrl_header_size>(header.data(), ctrl_header_size));
    FUZZ_REQUIRE(std::equal(h.magic.begin(), h.magic.end(), header.begin()));
    FUZZ_REQUIRE(h.length == be32(&header[4]) && h.id == be16(&header[8]));

    const std::size_t rest = size - 2 - header_read;
    const std::vector<std::uint8_t> message(
        data + 2 + header_read, data + 2 + header_read + std::min(rest, max_response_message));
    const std::size_t n = message.size();
    const message_result m = check_message(h, message);
    FUZZ_REQUIRE(m.received == static_cast<int>(n));
    FUZZ_REQUIRE(m.announced == static_cast<std::int32_t>(h.length - 10u));
    verdict rule = verdict::accepted;
    std::uint16_t rc = 0;
    if (h.length - 10u != n) {
        rule = verdict::wrong_length;
    } else if (n < 2) {
        rule = verdict::no_return_code;
    } else {
        rc = be16(&message[n - 2]);
        rule = rc == 0 ? verdict::accepted : verdict::return_code_bad;
    }
    FUZZ_REQUIRE(m.result == rule);
    if (rule == verdict::return_code_bad || rule == verdict::accepted)
        FUZZ_REQUIRE(m.return_code == rc);
    FUZZ_REQUIRE(return_code_to_string(rc) == return_text(rc));
    check_hex_dump(message);
    // Statistics only for a response that passed every rule.
    if (m.result != verdict::accepted || code != cmd_statistics) return 0;

    statistics s{};
    const verdict sv = decode_statistics(message, s);
    FUZZ_REQUIRE(sv ==
                 (n >= statistics_record_size + 2 ? verdict::accepted : verdict::short_statistics));
    if (sv != verdict::accepted) return 0;
    const std::uint32_t words[] = {s.overrun,  s.syntax,     s.frame,      s.content,
                                   s.boundary, s.fifo_level, s.state,      s.mode,
                                   s.bytes,    s.frames,     s.null_frames};
    for (std::size_t k = 0; k < std::size(words); ++k)
        FUZZ_REQUIRE(words[k] == be32(&message[4 * k]));
    FUZZ_REQUIRE(state_to_string(s.state) == state_text(s.state));
    FUZZ_REQUIRE(mode_to_string(s.mode) == mode_text(s.mode));
    check_report(s);
    return 0;
}
