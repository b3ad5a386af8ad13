#include "schedcfg/lin_protocol.hpp"

#include <algorithm>

namespace schedcfg {

std::uint8_t xor_checksum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes)
        sum ^= b;
    return sum;
}

std::size_t build_command(std::span<std::uint8_t, command_buffer_size> out, std::uint8_t type,
                          std::span<const std::uint8_t> args) {
    if (args.size() > max_argument_bytes) return 0;
    const std::size_t n = args.size();
    std::copy(start_sequence.begin(), start_sequence.end(), out.begin());
    out[command_field::lom] = static_cast<std::uint8_t>(n + 2);
    out[command_field::type] = type;
    std::copy(args.begin(), args.end(), out.begin() + command_field::args);
    // The checksum covers LOM, type and the arguments, never the start sequence.
    out[command_field::args + n] = xor_checksum(out.subspan(command_field::lom, n + 2));
    return command_field::args + n + 1;
}

answer_check check_answer(std::span<const std::uint8_t> received) {
    answer_check c{answer::bad_start, 0, {}};
    std::copy_n(received.begin(), std::min(received.size(), c.head.size()), c.head.begin());
    // A short answer is judged like one without the start sequence: there is no error code.
    if (received.size() < response_size || c.head != start_sequence) return c;
    c.error_code = received[4];
    c.result = c.error_code == 0 ? answer::accepted : answer::rejected;
    return c;
}

const char* error_text(std::uint8_t code) {
    // Interface texts, exact to the letter, misspellings included ("to long"): scripts in the field
    // match them and the tests pin them. Never tidy one.
    static constexpr std::array<const char*, 9> texts{
        "",  // 0: accepted
        "argument count invalid",
        "start not valid",
        "stop not valid",
        "start after stop",
        "unknown error",  // 5 has no text of its own
        "not a valid entry",
        "invalid LIN ID",
        "frame length to long",
    };
    return code < texts.size() ? texts[code] : "unknown error";
}

search_step search_byte(int& counter, std::uint8_t byte) {
    if (byte == start_byte) {
        ++counter;
        return search_step::counted;
    }
    if (byte == start_last) {
        if (counter > 2) {
            counter = 0;
            return search_step::found;
        }
        return search_step::counted;
    }
    counter = 0;
    return search_step::discarded;
}

std::size_t missing_body_bytes(std::span<const std::uint8_t> body) {
    if (body.empty()) return 0;
    const std::size_t lom = body[body_field::lom];
    return lom > body.size() - 1 ? lom - (body.size() - 1) : 0;
}

namespace {

// What a read that placed nothing means, while searching or after the start sequence.
message_read nothing_read(long r, bool searching) {
    if (r == read_interrupted) return searching ? message_read::stopped : message_read::interrupted;
    if (r < 0) return message_read::failed;
    return searching ? message_read::search_timed_out : message_read::body_timed_out;
}

}  // namespace

message_result read_message(const message_port& port, int& counter,
                            std::span<std::uint8_t, message_buffer_size> message,
                            int timeout_seconds) {
    for (;;) {
        if (port.stop_requested(port.context)) return {message_read::stopped, 0};
        std::uint8_t byte = 0;
        const long r = port.read(port.context, &byte, 1, 1, timeout_seconds);
        if (r <= 0) return {nothing_read(r, true), 0};
        const search_step step = search_byte(counter, byte);
        port.searched(port.context, byte, step);
        if (step == search_step::found) break;
    }

    long r =
        port.read(port.context, message.data(), body_first_read, body_min_read, timeout_seconds);
    if (r <= 0) return {nothing_read(r, false), 0};
    std::size_t count = static_cast<std::size_t>(r);
    // One more read for what LOM still promises; a time-out leaves the body short.
    const std::size_t missing = missing_body_bytes(message.first(count));
    if (missing > 0) {
        r = port.read(port.context, message.data() + count, missing, 1, completion_timeout_seconds);
        if (r < 0) return {nothing_read(r, false), 0};
        count += static_cast<std::size_t>(r);
    }
    return {message_read::body, count};
}

body_verdict validate_body(std::span<const std::uint8_t> body) {
    const std::size_t count = body.size();
    if (count < body_min_read) return body_verdict::short_body;
    if (xor_checksum(body.first(count - 1)) != body[count - 1]) return body_verdict::checksum_error;
    if (body[body_field::lom] != count - 1) return body_verdict::lom_mismatch;
    if (body[body_field::type] != forwarded_frame_type) return body_verdict::wrong_type;
    if (body[body_field::status] != 0) return body_verdict::bad_status;
    return body_verdict::valid;
}

lin_frame frame_of(std::span<const std::uint8_t> body) {
    // A valid body has at least 4 bytes: with 3, the status byte is the checksum 0x02 ^ 0x07.
    const std::size_t count = body.size();
    lin_frame f{};
    f.identifier = count > body_field::identifier
                       ? static_cast<std::uint8_t>(body[body_field::identifier] & 0x3F)
                       : 0;
    f.data_length = static_cast<int>(count) - static_cast<int>(body_overhead);
    if (f.data_length > 0)
        f.data = body.subspan(body_field::data, static_cast<std::size_t>(f.data_length));
    f.trailer = count >= 2 ? body[count - 2] : 0;
    return f;
}

}  // namespace schedcfg
