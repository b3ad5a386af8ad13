// The frame source: relay datagrams (big-endian header and records) to the host's relay port.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

struct totals {
    unsigned long long datagrams = 0, frames = 0, no_frames = 0, lost = 0;
};

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

void run_relay(const relay_settings& s) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say("relay: cannot open a socket: %s", strerror(errno));
        return;
    }
    using clock = std::chrono::steady_clock;
    const auto period =
        s.rate ? std::chrono::nanoseconds(1000000000 / s.rate) : std::chrono::nanoseconds(0);
    auto next = clock::now();
    std::array<std::uint8_t, header_size + max_records * record_size> d{};
    std::uint32_t udp_seq = 0, frame_seq = 0;
    unsigned long long record_index = 0;
    totals t;
    bool was_online = true;
    for (unsigned long n = 1; s.count == 0 || n <= s.count; ++n) {
        // A reset takes the FR-MCU down; it numbers from 1 again when it is back.
        while (!online) {
            was_online = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            next = clock::now();
        }
        if (!was_online) {
            udp_seq = frame_seq = 0;
            was_online = true;
            say("relay: back online, numbering from 1");
        }
        std::uint32_t announced = s.records;
        std::size_t size = header_size + s.records * record_size;
        bool wrong_magic = false;
        for (const relay_fault& f : s.faults) {
            if (f.at != n) continue;
            switch (f.what) {
                case relay_fault::kind::frame_gap:
                    frame_seq += f.value;
                    t.lost += f.value;
                    break;
                case relay_fault::kind::udp_gap:
                    udp_seq += f.value;
                    break;
                case relay_fault::kind::restart:
                    udp_seq = frame_seq = 0;
                    break;
                case relay_fault::kind::magic:
                    wrong_magic = true;
                    break;
                case relay_fault::kind::truncate:
                    size = std::min<std::size_t>(size, f.value);
                    break;
                case relay_fault::kind::count:
                    announced = f.value;
                    break;
            }
        }
        std::memcpy(d.data(), wrong_magic ? "FR02" : "FR01", 4);
        frmcu::store_be32(&d[4], ++udp_seq);
        frmcu::store_be32(&d[8], announced);
        frmcu::store_be32(&d[12], 0);
        for (std::size_t i = 0; i < s.records; ++i) {
            ++record_index;
            const bool empty = s.no_frame_every && record_index % s.no_frame_every == 0;
            const auto len = static_cast<std::uint8_t>(
                empty ? no_frame
                      : s.lengths[static_cast<std::size_t>((record_index - 1) % s.lengths.size())]);
            fill_record(&d[header_size + i * record_size], ++frame_seq, len);
            const bool arrives =
                !wrong_magic && header_size + (i + 1) * record_size <= size && i < announced;
            if (!arrives)
                ++t.lost;
            else if (empty)
                ++t.no_frames;
            else
                ++t.frames;
        }
        if (s.rate) {
            next += period;
            std::this_thread::sleep_until(next);
        }
        if (sendto(fd, d.data(), size, 0, reinterpret_cast<const sockaddr*>(&s.address),
                   sizeof s.address) < 0)
            say("relay: send failed: %s", strerror(errno));
        ++t.datagrams;
    }
    close(fd);
    say("relay done: datagrams=%llu frames=%llu no-frame=%llu lost=%llu", t.datagrams, t.frames,
        t.no_frames, t.lost);
}

}  // namespace

namespace {

bool parse_fault(const std::string& text, relay_settings& s) {
    static constexpr std::pair<const char*, relay_fault::kind> kinds[] = {
        {"frame-gap", relay_fault::kind::frame_gap}, {"udp-gap", relay_fault::kind::udp_gap},
        {"restart", relay_fault::kind::restart},     {"magic", relay_fault::kind::magic},
        {"truncate", relay_fault::kind::truncate},   {"count", relay_fault::kind::count},
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
        default:
            return false;
    }
}

void start_relay(const relay_settings& s) {
    std::thread(run_relay, std::cref(s)).detach();
}

}  // namespace frmcu_sim
