// The LIN co-processor's forwarded frames as schedcfg's listen mode takes them: the program's own
// message read (start-sequence search, body read and its completion) on a model of the line,
// the body checks, and the lines printed.
//
// Input: the line's traffic as chunks, each a control byte and as many bytes as its low seven
// bits say; bit 7 marks a silence before the chunk, longer than any time-out. A read returns
// what the current chunk still holds, up to the size asked for, as a serial port does.
#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/common.hpp"
#include "schedcfg/lin_protocol.hpp"
#include "schedcfg/lines.hpp"

namespace {

using namespace schedcfg;
using fuzz::guarded_area;

struct chunk {
    bool silence_before;
    std::span<const std::uint8_t> bytes;
};

// The serial line: select() and read() as the program issues them.
class line_model {
  public:
    explicit line_model(std::vector<chunk> chunks) : chunks_(std::move(chunks)) {}

    // One wait and one read: 0 when the wait runs out, else the bytes read.
    std::size_t wait_and_read(std::uint8_t* into, std::size_t size) {
        while (chunk_ < chunks_.size() && at_ == chunks_[chunk_].bytes.size()) {
            ++chunk_;
            at_ = 0;
        }
        if (chunk_ == chunks_.size()) return 0;
        chunk& c = chunks_[chunk_];
        if (c.silence_before && at_ == 0) {
            c.silence_before = false;  // the wait took the silence
            return 0;
        }
        const std::size_t n = std::min(size, c.bytes.size() - at_);
        std::copy_n(c.bytes.data() + at_, n, into);
        at_ += n;
        return n;
    }

    // lin_port_read: a second pass only when the first brought fewer than `minimum`; a wait that
    // runs out makes the whole read 0.
    std::size_t read(std::uint8_t* into, std::size_t size, std::size_t minimum) {
        std::size_t placed = 0;
        for (int pass = 0; pass < 2; ++pass) {
            const std::size_t n = wait_and_read(into + placed, size - placed);
            if (n == 0) return 0;
            placed += n;
            if (placed >= minimum) break;
        }
        return placed;
    }

  private:
    std::vector<chunk> chunks_;
    std::size_t chunk_ = 0;
    std::size_t at_ = 0;
};

constexpr long stamp_seconds = 12;
constexpr long stamp_nanoseconds = 3456789;

// "0x%02x " of one byte.
std::string byte_text(unsigned b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x ", b);
    return text;
}

body_verdict body_rule(const std::vector<std::uint8_t>& b) {
    const std::size_t count = b.size();
    if (count < 3) return body_verdict::short_body;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < count; ++i)
        sum ^= b[i];
    if (sum != b[count - 1]) return body_verdict::checksum_error;
    if (b[0] != count - 1) return body_verdict::lom_mismatch;
    if (b[1] != 7) return body_verdict::wrong_type;
    if (b[2] != 0) return body_verdict::bad_status;
    return body_verdict::valid;
}

std::string verdict_text(body_verdict v, const std::vector<std::uint8_t>& b) {
    const int count = static_cast<int>(b.size());
    switch (v) {
        case body_verdict::valid:
            return "";
        case body_verdict::short_body:
            return "invalid frame length\n";
        case body_verdict::checksum_error:
            return "checksum error\n";
        case body_verdict::lom_mismatch:
            return "LOM (" + std::to_string(b[0]) +
                   ") does not match data length: " + std::to_string(count - 5) + "\n";
        case body_verdict::wrong_type:
            return "invalid message type: " + std::to_string(b[1]) + "\n";
        case body_verdict::bad_status:
            return "status not ok: " + std::to_string(b[2]) + "\n";
    }
    return "?";
}

// What listen mode printed for one body.
struct message_out {
    std::vector<std::uint8_t> body;
    body_verdict verdict;
    std::string dump, why, frame;
};

struct listener {
    int counter = 0;  // 0x7E bytes seen by the search, carried from message to message
    int sevens = 0;   // the same, kept here from the rule
    std::size_t discarded = 0;
    guarded_area message{message_buffer_size};
    std::unique_ptr<std::array<char, line_size>> text =
        std::make_unique<std::array<char, line_size>>();
};

constexpr int listen_timeout = 5;

// What the target sees of one read_message: each byte of the search, held against the rule, and
// the reads after the start sequence.
struct observer {
    struct read_call {
        std::size_t size, minimum;
        int timeout;
        std::size_t got;
    };
    line_model& line;
    listener& l;
    bool found = false;
    std::vector<read_call> body_reads;
};

long observed_read(void* context, std::uint8_t* into, std::size_t size, std::size_t minimum,
                   int timeout) {
    observer& o = *static_cast<observer*>(context);
    const std::size_t n = o.line.read(into, size, minimum);
    if (o.found) o.body_reads.push_back({size, minimum, timeout, n});
    return static_cast<long>(n);
}

bool never_stopped(void*) {
    return false;
}

void observed_search(void* context, std::uint8_t byte, search_step step) {
    observer& o = *static_cast<observer*>(context);
    listener& l = o.l;
    // A start sequence is an 0xA7 after three 0x7E or more; other bytes start afresh.
    search_step rule = search_step::counted;
    if (byte == start_byte) {
        ++l.sevens;
    } else if (byte == start_last) {
        if (l.sevens >= 3) {
            rule = search_step::found;
            l.sevens = 0;
        }
    } else {
        rule = search_step::discarded;
        l.sevens = 0;
    }
    FUZZ_REQUIRE(step == rule && l.counter == l.sevens);
    if (step == search_step::discarded) ++l.discarded;
    o.found = step == search_step::found;
}

// One message read as listen mode reads it and, for a valid body, the frame line. False when
// the line fell silent, which ends the program.
bool receive(line_model& line, listener& l, message_out& out) {
    guarded_area& message = l.message;
    observer o{line, l, false, {}};
    const message_port port{&o, observed_read, never_stopped, observed_search};
    const message_result m = read_message(
        port, l.counter,
        std::span<std::uint8_t, message_buffer_size>(message.data(), message_buffer_size),
        listen_timeout);
    FUZZ_REQUIRE(message.guards_intact());
    if (m.outcome != message_read::body) {
        // The line model neither fails nor is interrupted: only silence ends a read.
        FUZZ_REQUIRE(m.outcome ==
                     (o.found ? message_read::body_timed_out : message_read::search_timed_out));
        return false;
    }

    // The body read, then one more only for what LOM still promises, with its own time-out.
    const auto& reads = o.body_reads;
    FUZZ_REQUIRE(!reads.empty() && reads[0].size == body_first_read &&
                 reads[0].minimum == body_min_read && reads[0].timeout == listen_timeout);
    const std::size_t first = reads[0].got;
    const std::size_t lom = message.data()[0];
    const std::size_t missing = lom > first - 1 ? lom - (first - 1) : 0;
    FUZZ_REQUIRE(first <= body_first_read && first + missing <= message_buffer_size);
    FUZZ_REQUIRE(reads.size() == (missing > 0 ? 2u : 1u));
    if (missing > 0)
        FUZZ_REQUIRE(reads[1].size == missing && reads[1].minimum == 1 &&
                     reads[1].timeout == completion_timeout_seconds);
    const std::size_t count = m.count;
    FUZZ_REQUIRE(count == first + (missing > 0 ? reads[1].got : 0));

    message.fence(0, count);
    const std::span<const std::uint8_t> body(message.data(), count);
    out.body.assign(body.begin(), body.end());
    const std::vector<std::uint8_t>& copy = out.body;
    std::array<char, line_size>* text = l.text.get();
    const std::size_t dump_length = format_dump(*text, body);
    out.dump.assign(text->data(), dump_length);
    std::string dump = "<<  ";
    for (std::uint8_t b : copy)
        dump += byte_text(b);
    dump += "\n";
    FUZZ_REQUIRE(out.dump == dump && (*text)[dump_length] == '\0');

    out.verdict = validate_body(body);
    FUZZ_REQUIRE(out.verdict == body_rule(copy));
    const std::size_t why_length = format_verdict(*text, out.verdict, body);
    out.why.assign(text->data(), why_length);
    FUZZ_REQUIRE(out.why == verdict_text(out.verdict, copy));
    if (out.verdict != body_verdict::valid) {
        message.lift();
        return true;
    }

    // A valid body has its LOM, type, status and checksum: at least four bytes.
    FUZZ_REQUIRE(count >= 4);
    const lin_frame f = frame_of(body);
    FUZZ_REQUIRE(f.identifier == (copy[3] & 0x3F) && f.trailer == copy[count - 2]);
    FUZZ_REQUIRE(f.data_length == static_cast<int>(count) - 6);
    FUZZ_REQUIRE(f.data.size() == (count > 6 ? count - 6 : 0));
    if (!f.data.empty()) FUZZ_REQUIRE(f.data.data() == body.data() + 4);
    const std::size_t frame_length =
        format_frame_line(*text, stamp_seconds, stamp_nanoseconds, body);
    out.frame.assign(text->data(), frame_length);
    char head[64];
    std::snprintf(head, sizeof head, "%010ld.%09ld <%02x> [%02x] ", stamp_seconds,
                  stamp_nanoseconds, static_cast<unsigned>(copy[3] & 0x3F),
                  static_cast<unsigned>(static_cast<int>(count) - 6));
    std::string frame = head;
    for (std::size_t i = 4; i + 2 < count; ++i)
        frame += byte_text(copy[i]);
    char trailer[8];
    std::snprintf(trailer, sizeof trailer, "(%02x) \n", static_cast<unsigned>(copy[count - 2]));
    frame += trailer;
    FUZZ_REQUIRE(out.frame == frame);
    message.lift();
    return true;
}

// Listens until the line falls silent or a body fails its checks.
std::vector<message_out> listen(std::vector<chunk> chunks) {
    line_model line(std::move(chunks));
    listener l;
    std::vector<message_out> printed;
    message_out m;
    while (receive(line, l, m)) {
        printed.push_back(m);
        if (m.verdict != body_verdict::valid) break;
    }
    return printed;
}

// A valid message must come through the same however its bytes are split: the start sequence
// byte by byte, the body in two parts, the first of 1 to 18 bytes.
void check_split(const message_out& whole, std::size_t cut) {
    const std::vector<std::uint8_t>& body = whole.body;
    std::vector<chunk> chunks;
    for (const std::uint8_t& b : start_sequence)
        chunks.push_back({false, std::span(&b, 1)});
    const std::size_t first = 1 + cut % std::min<std::size_t>(body.size() - 1, body_first_read);
    chunks.push_back({false, std::span(body.data(), first)});
    chunks.push_back({false, std::span(body.data() + first, body.size() - first)});
    const std::vector<message_out> again = listen(chunks);
    FUZZ_REQUIRE(again.size() == 1 && again[0].verdict == body_verdict::valid);
    FUZZ_REQUIRE(again[0].dump == whole.dump && again[0].frame == whole.frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<chunk> chunks;
    for (std::size_t at = 0; at < size;) {
        const std::uint8_t control = data[at++];
        const std::size_t n = std::min<std::size_t>(control & 0x7F, size - at);
        chunks.push_back({(control & 0x80) != 0, std::span(data + at, n)});
        at += n;
    }
    const std::vector<message_out> printed = listen(chunks);
    for (std::size_t i = 0; i < printed.size(); ++i) {
        // Only the last message may be refused: a refusal ends listening.
        if (printed[i].verdict != body_verdict::valid) {
            FUZZ_REQUIRE(i + 1 == printed.size());
            continue;
        }
        // A few messages an input are enough; the fuzzer varies which.
        if (i < 4) check_split(printed[i], size + i);
    }
    return 0;
}
