// The frame source: relay datagrams (big-endian header and records) to the host's relay port.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <thread>

#include "boardsim/frmcu-sim/sim.hpp"
#include "frmcu/bytes.hpp"
#include "frmcu/link.hpp"

namespace frmcu_sim {

namespace {

constexpr std::size_t header_size = 16;
constexpr std::size_t record_size = 296;
constexpr std::size_t max_records = 5;
constexpr std::uint8_t no_frame = 255;

// What the source sent, as the host sees it: a frame "arrives" when its record comes whole in a
// datagram with the right magic.
struct account {
    unsigned long long datagrams = 0, frames = 0, no_frames = 0, lost = 0;
    unsigned long long gap_lost = 0;  // numbers a receiver finds missing between arrivals
    unsigned long long repeated = 0;  // frames that arrive a second time
    unsigned long long lost_datagrams = 0, repeated_datagrams = 0, truncated = 0, miscounted = 0,
                       wrong_magic = 0, frame_gaps = 0, udp_gaps = 0, restarts = 0, hangs = 0;
    std::uint32_t last = 0;                      // the last frame number that arrived
    std::uint64_t digest = 0xcbf29ce484222325u;  // FNV-1a over the arriving frames' numbers

    void arrived(std::uint32_t seq, bool empty, bool again) {
        // The gap rule of the relay protocol: a number below the expected one is a restart
        // or a repeat and hides nothing.
        const std::uint32_t expected = last + 1;
        if (seq > expected && expected != 0) gap_lost += seq - expected;
        last = seq;
        if (empty) {
            if (!again) ++no_frames;
            return;
        }
        again ? ++repeated : ++frames;
        for (int k = 0; k < 4; ++k)
            digest = (digest ^ ((seq >> (8 * k)) & 0xff)) * 0x100000001b3u;
    }
};

std::atomic<bool> stopping{false};
std::thread source;

// Fills one record in wire form; everything in it follows from the frame number.
void fill_record(std::uint8_t* r, std::uint32_t frame_seq, std::uint8_t len) {
    std::memset(r, 0, record_size);
    frmcu::store_be32(r, frame_seq);
    for (int k = 0; k < 4; ++k)
        r[4 + k] = static_cast<std::uint8_t>(0xA0 + k);                           // opaque0
    frmcu::store_be32(r + 8, 1000 + frame_seq / 100);                             // sec
    frmcu::store_be32(r + 12, (frame_seq % 1000) * 1000003u % 1000000000u);       // nsec
    frmcu::store_be32(r + 16, frame_seq ^ 0x5A5A5A5Au);                           // aux32
    frmcu::store_be16(r + 20, static_cast<std::uint16_t>(1 + frame_seq % 2047));  // frame_id
    r[22] = len;
    r[23] = 0xB1;                                                      // opaque1
    frmcu::store_be16(r + 24, static_cast<std::uint16_t>(frame_seq));  // aux16
    for (int k = 0; k < 6; ++k)
        r[26 + k] = static_cast<std::uint8_t>(0xC0 + k);  // opaque2
    const std::size_t payload = len == no_frame ? 0 : len;
    for (std::size_t k = 0; k < payload; ++k)
        r[32 + k] = static_cast<std::uint8_t>(frame_seq + k);
}

// Waits while the FR-MCU is hung or down; false when the source is to stop. `was_out` tells
// whether it had to wait.
bool wait_until_up(bool& was_out) {
    was_out = false;
    while (!online || hung) {
        if (stopping) return false;
        was_out = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stopping;
}

void run_relay(const relay_settings& s) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say("relay: cannot open a socket: %s", strerror(errno));
        return;
    }
    std::vector<relay_fault> faults = s.faults;
    std::stable_sort(faults.begin(), faults.end(),
                     [](const relay_fault& a, const relay_fault& b) { return a.at < b.at; });
    std::size_t next_fault = 0;
    using clock = std::chrono::steady_clock;
    const auto period =
        s.rate ? std::chrono::nanoseconds(1000000000 / s.rate) : std::chrono::nanoseconds(0);
    auto next = clock::now();
    std::array<std::uint8_t, header_size + max_records * record_size> d{};
    std::array<std::uint32_t, max_records> seqs{};
    std::array<bool, max_records> empties{}, whole{};
    std::uint32_t udp_seq = 0, frame_seq = 0;
    unsigned long long record_index = 0;
    account t;
    for (unsigned long n = 1; s.count == 0 || n <= s.count; ++n) {
        const std::size_t first_fault = next_fault;
        while (next_fault < faults.size() && faults[next_fault].at == n)
            ++next_fault;
        const std::span<const relay_fault> here(faults.data() + first_fault,
                                                next_fault - first_fault);
        if (std::any_of(here.begin(), here.end(),
                        [](const relay_fault& f) { return f.what == relay_fault::kind::hang; })) {
            ++t.hangs;
            enter(mcu_state::hung);
        }
        // A hung or reset FR-MCU sends nothing; it numbers from 1 again when it is back.
        bool was_out = false;
        if (!wait_until_up(was_out)) break;
        if (was_out) {
            udp_seq = frame_seq = 0;
            next = clock::now();
            say("relay: back online, numbering from 1");
        }
        std::uint32_t announced = s.records;
        std::size_t size = header_size + s.records * record_size;
        bool wrong_magic = false, lose = false, repeat = false;
        for (const relay_fault& f : here) {
            switch (f.what) {
                case relay_fault::kind::frame_gap:
                    frame_seq += f.value;
                    t.lost += f.value;
                    ++t.frame_gaps;
                    break;
                case relay_fault::kind::udp_gap:
                    udp_seq += f.value;
                    ++t.udp_gaps;
                    break;
                case relay_fault::kind::restart:
                    udp_seq = frame_seq = 0;
                    ++t.restarts;
                    break;
                case relay_fault::kind::magic:
                    wrong_magic = true;
                    ++t.wrong_magic;
                    break;
                case relay_fault::kind::truncate:
                    size = std::min<std::size_t>(size, f.value);
                    ++t.truncated;
                    break;
                case relay_fault::kind::count:
                    announced = f.value;
                    ++t.miscounted;
                    break;
                case relay_fault::kind::lose:
                    lose = true;
                    ++t.lost_datagrams;
                    break;
                case relay_fault::kind::repeat:
                    repeat = true;
                    ++t.repeated_datagrams;
                    break;
                case relay_fault::kind::hang:
                    break;
            }
        }
        std::memcpy(d.data(), wrong_magic ? "FR02" : "FR01", 4);
        frmcu::store_be32(&d[4], ++udp_seq);
        frmcu::store_be32(&d[8], announced);
        frmcu::store_be32(&d[12], 0);
        for (std::size_t i = 0; i < s.records; ++i) {
            ++record_index;
            empties[i] = s.no_frame_every && record_index % s.no_frame_every == 0;
            const auto len = static_cast<std::uint8_t>(
                empties[i]
                    ? no_frame
                    : s.lengths[static_cast<std::size_t>((record_index - 1) % s.lengths.size())]);
            seqs[i] = ++frame_seq;
            fill_record(&d[header_size + i * record_size], seqs[i], len);
            whole[i] = !lose && !wrong_magic && header_size + (i + 1) * record_size <= size &&
                       i < announced;
            if (!whole[i]) ++t.lost;
        }
        for (int copy = 0; copy < (lose ? 0 : repeat ? 2 : 1); ++copy)
            for (std::size_t i = 0; i < s.records; ++i)
                if (whole[i]) t.arrived(seqs[i], empties[i], copy > 0);
        if (s.rate) {
            next += period;
            std::this_thread::sleep_until(next);
        }
        for (int copy = 0; copy < (lose ? 0 : repeat ? 2 : 1); ++copy)
            if (sendto(fd, d.data(), size, 0, reinterpret_cast<const sockaddr*>(&s.address),
                       sizeof s.address) < 0)
                say("relay: send failed: %s", strerror(errno));
        ++t.datagrams;
        if (stopping) break;
    }
    close(fd);
    say("relay done: datagrams=%llu frames=%llu no-frame=%llu lost=%llu gap-lost=%llu "
        "repeated=%llu digest=%016llx",
        t.datagrams, t.frames, t.no_frames, t.lost, t.gap_lost, t.repeated,
        static_cast<unsigned long long>(t.digest));
    say("relay faults: lost=%llu repeated=%llu truncated=%llu miscounted=%llu wrong-magic=%llu "
        "frame-gaps=%llu udp-gaps=%llu restarts=%llu hangs=%llu",
        t.lost_datagrams, t.repeated_datagrams, t.truncated, t.miscounted, t.wrong_magic,
        t.frame_gaps, t.udp_gaps, t.restarts, t.hangs);
}

}  // namespace

namespace {

bool parse_fault(const std::string& text, relay_settings& s) {
    static constexpr std::pair<const char*, relay_fault::kind> kinds[] = {
        {"frame-gap", relay_fault::kind::frame_gap}, {"udp-gap", relay_fault::kind::udp_gap},
        {"restart", relay_fault::kind::restart},     {"magic", relay_fault::kind::magic},
        {"truncate", relay_fault::kind::truncate},   {"count", relay_fault::kind::count},
        {"lose", relay_fault::kind::lose},           {"repeat", relay_fault::kind::repeat},
        {"hang", relay_fault::kind::hang},
    };
    const auto at = text.find('@');
    if (at == std::string::npos) return false;
    const std::string name = text.substr(0, at);
    const auto* k = std::find_if(std::begin(kinds), std::end(kinds),
                                 [&](const auto& e) { return name == e.first; });
    if (k == std::end(kinds)) return false;
    relay_fault f{k->second, 0, 0};
    char* end = nullptr;
    f.at = std::strtoul(text.c_str() + at + 1, &end, 10);
    if (f.at == 0) return false;
    if (*end == ':') f.value = static_cast<std::uint32_t>(std::strtoul(end + 1, &end, 0));
    if (*end) return false;
    s.faults.push_back(f);
    return true;
}

bool parse_lengths(const char* text, relay_settings& s) {
    s.lengths.clear();
    for (const char* p = text; *p;) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(p, &end, 0);
        if (end == p || v > 254 || (*end && *end != ',')) return false;
        s.lengths.push_back(static_cast<unsigned>(v));
        p = *end ? end + 1 : end;
    }
    return !s.lengths.empty();
}

// One fault a line; blank lines and lines from '#' on are skipped.
bool parse_fault_file(const char* path, relay_settings& s) {
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    bool ok = true;
    char line[256];
    while (ok && std::fgets(line, sizeof line, f)) {
        std::string text(line);
        text = text.substr(0, text.find_first_of("#\r\n"));
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        if (!text.empty()) ok = parse_fault(text, s);
    }
    std::fclose(f);
    return ok;
}

template <typename T>
bool parse_number(const char* text, unsigned long max, T& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || *end || v > max) return false;
    out = static_cast<T>(v);
    return true;
}

}  // namespace

bool parse_relay_option(int index, const char* value, relay_settings& s) {
    switch (index) {
        case 0: {
            const auto a = parse_endpoint(value, frmcu::default_host_address);
            if (!a) return false;
            s.address = *a;
            s.enabled = true;
            return true;
        }
        case 1:
            return parse_number(value, ~0ul, s.count);
        case 2:
            return parse_number(value, 1000000, s.rate);
        case 3:
            return parse_number(value, max_records, s.records);
        case 4:
            return parse_lengths(value, s);
        case 5:
            return parse_number(value, ~0u, s.no_frame_every);
        case 6:
            return parse_fault(value, s);
        case 7:
            return parse_fault_file(value, s);
        default:
            return false;
    }
}

void start_relay(const relay_settings& s) {
    source = std::thread(run_relay, std::cref(s));
}

void stop_relay() {
    stopping = true;
    if (source.joinable()) source.join();
}

}  // namespace frmcu_sim
