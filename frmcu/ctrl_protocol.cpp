#include "frmcu/ctrl_protocol.hpp"

#include <algorithm>

#include "frmcu/bytes.hpp"

namespace frmcu {

FR_CTRL_REQ build_request(int command_code) {
    FR_CTRL_REQ req{};
    std::copy(ctrl_magic.begin(), ctrl_magic.end(), req.begin());
    store_be32(&req[4], ctrl_header_size);
    store_be16(&req[8], static_cast<std::uint16_t>(command_code));
    return req;
}

FR_CTRL_HEADER parse_header(std::span<const std::uint8_t, ctrl_header_size> bytes) {
    FR_CTRL_HEADER h{};
    std::copy_n(bytes.begin(), 4, h.magic.begin());
    h.length = load_be32(&bytes[4]);
    h.id = load_be16(&bytes[8]);
    return h;
}

verdict check_header(std::span<const std::uint8_t> received, int command_code) {
    if (received.size() < ctrl_header_size) return verdict::short_header;
    if (!std::equal(ctrl_magic.begin(), ctrl_magic.end(), received.begin()))
        return verdict::wrong_magic;
    if (load_be16(&received[8]) != (static_cast<std::uint16_t>(command_code) | response_bit))
        return verdict::wrong_id;
    return verdict::accepted;
}

message_result check_message(const FR_CTRL_HEADER& header, std::span<const std::uint8_t> message) {
    message_result r{};
    r.received = static_cast<int>(message.size());
    r.announced = static_cast<int>(header.length - ctrl_header_size);
    if (r.announced != r.received) {
        r.result = verdict::wrong_length;
        return r;
    }
    if (message.size() < 2) {
        r.result = verdict::no_return_code;
        return r;
    }
    r.return_code = load_be16(&message[message.size() - 2]);
    r.result = r.return_code == 0 ? verdict::accepted : verdict::return_code_bad;
    return r;
}

verdict decode_statistics(std::span<const std::uint8_t> message, statistics& out) {
    if (message.size() < statistics_record_size + 2) return verdict::short_statistics;
    std::uint32_t* const words[] = {&out.overrun,  &out.syntax,     &out.frame,      &out.content,
                                    &out.boundary, &out.fifo_level, &out.state,      &out.mode,
                                    &out.bytes,    &out.frames,     &out.null_frames};
    for (std::size_t k = 0; k < std::size(words); ++k)
        *words[k] = load_be32(&message[4 * k]);
    return verdict::accepted;
}

namespace {

struct coded_text {
    std::uint32_t code;
    const char* text;
};

// Interface texts, exact to the letter, misspellings included ("NOT_IMPLMENTED"): scripts in the
// field match them and the tests pin them. Never tidy one.
constexpr coded_text poc_states[] = {
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

constexpr const char* modes[] = {"ACTIVE", "PASSIVE", "COMMHALT", "RESERVED"};

constexpr const char* return_codes[] = {
    "OK", "NOK", "NOT_IMPLMENTED", "INVALID_OPTIONS", "OPERATION_NOT_ALLOWED", "INVALID_VERSION"};

constexpr const char* unknown = "UNKNOWN";

}  // namespace

const char* state_to_string(std::uint32_t state) {
    for (const auto& s : poc_states)
        if (s.code == state) return s.text;
    return unknown;
}

const char* mode_to_string(std::uint32_t mode) {
    return mode < std::size(modes) ? modes[mode] : unknown;
}

const char* return_code_to_string(unsigned return_code) {
    return return_code < std::size(return_codes) ? return_codes[return_code] : unknown;
}

int match_command(std::string_view text) {
    for (std::size_t i = 0; i < cmd_strings.size(); ++i)
        if (text.starts_with(cmd_strings[i])) return static_cast<int>(i) + 1;
    return -1;
}

}  // namespace frmcu
