#include "nodectl/report.hpp"

// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
namespace nodectl {

void print_hex_dump(std::FILE* out, std::span<const std::uint8_t> bytes) {
    std::fprintf(out, "\nLength: %d", static_cast<int>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) std::fputc('\n', out);
        std::fprintf(out, "\\x%02X", static_cast<unsigned>(bytes[i]));
    }
    std::fputs("\n\n", out);
}

void print_statistics(std::FILE* out, const frmcu::statistics& s) {
    std::fprintf(out, "%-7s%s\n", "MODE:", frmcu::mode_to_string(s.mode));
    std::fprintf(out, "%-7s%s\n", "STATE:", frmcu::state_to_string(s.state));
    std::fprintf(out, "%-13s%-13s%-13s%-13s%-13s\n", "ERR: overrun", "syntax", "frame", "content",
                 "boundary");
    std::fprintf(out, "%-13u%-13u%-13u%-13u%-13u\n", s.overrun, s.syntax, s.frame, s.content,
                 s.boundary);
    std::fprintf(out, "%-13s%-13s%-13s%-13s\n", "fifo_level", "bytes", "frames", "null-frames");
    std::fprintf(out, "%-13u%-13u%-13u%-13u\n", s.fifo_level, s.bytes, s.frames, s.null_frames);
}

}  // namespace nodectl
