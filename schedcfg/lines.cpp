#include "schedcfg/lines.hpp"

#include <cstdarg>
#include <cstdio>

namespace schedcfg {

namespace {

// Appends to out at `at`; the buffer is sized for the longest line, so nothing is cut.
__attribute__((format(printf, 3, 4))) std::size_t append(std::span<char, line_size> out,
                                                         std::size_t at, const char* format, ...) {
    if (at >= out.size()) return at;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out.data() + at, out.size() - at, format, args);
    va_end(args);
    if (n < 0) return at;
    const std::size_t end = at + static_cast<std::size_t>(n);
    return end < out.size() ? end : out.size() - 1;
}

}  // namespace

// Interface texts, exact to the letter (these lines, and the verdicts below): scripts in the field
// match them and the tests pin them. Never tidy one.
std::size_t format_dump(std::span<char, line_size> out, std::span<const std::uint8_t> body) {
    std::size_t at = append(out, 0, "<<  ");
    for (std::uint8_t b : body)
        at = append(out, at, "0x%02x ", b);
    return append(out, at, "\n");
}

std::size_t format_frame_line(std::span<char, line_size> out, long seconds, long nanoseconds,
                              std::span<const std::uint8_t> valid_body) {
    const lin_frame f = frame_of(valid_body);
    std::size_t at = append(out, 0, "%010ld.%09ld ", seconds, nanoseconds);
    at = append(out, at, "<%02x> ", f.identifier);
    // A negative length shows as its 32-bit two's complement, e.g. [fffffffe].
    at = append(out, at, "[%02x] ", static_cast<unsigned>(f.data_length));
    for (std::uint8_t b : f.data)
        at = append(out, at, "0x%02x ", b);
    at = append(out, at, "(%02x) ", f.trailer);
    return append(out, at, "\n");
}

std::size_t format_verdict(std::span<char, line_size> out, body_verdict verdict,
                           std::span<const std::uint8_t> body) {
    const int count = static_cast<int>(body.size());
    switch (verdict) {
        case body_verdict::valid:
            break;
        case body_verdict::short_body:
            return append(out, 0, "invalid frame length\n");
        case body_verdict::checksum_error:
            return append(out, 0, "checksum error\n");
        case body_verdict::lom_mismatch:
            // The length it names is the body's less five bytes: the interface's own count.
            return append(out, 0, "LOM (%d) does not match data length: %d\n",
                          body[body_field::lom], count - 5);
        case body_verdict::wrong_type:
            return append(out, 0, "invalid message type: %d\n", body[body_field::type]);
        case body_verdict::bad_status:
            return append(out, 0, "status not ok: %d\n", body[body_field::status]);
    }
    out[0] = '\0';
    return 0;
}

}  // namespace schedcfg
