// The time-stamp sink: logs every datagram with the time it arrived and its decoded fields.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "boardsim/frmcu-sim/sim.hpp"
#include "frmcu/bytes.hpp"

namespace frmcu_sim {

namespace {

constexpr std::size_t stamp_size = 12;

std::string fields_of(const std::uint8_t* buf) {
    char text[80];
    snprintf(text, sizeof text, "tv_sec %d tv_nsec %d force %u",
             static_cast<std::int32_t>(frmcu::load_le32(&buf[0])),
             static_cast<std::int32_t>(frmcu::load_le32(&buf[4])),
             static_cast<unsigned>(frmcu::load_le32(&buf[8])));
    return text;
}

void receive_stamps(int fd) {
    for (;;) {
        std::uint8_t buf[1500];
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        const ssize_t n =
            recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (n < 0) continue;
        const auto size = static_cast<std::size_t>(n);
        char sender[INET_ADDRSTRLEN + 8];
        inet_ntop(AF_INET, &from.sin_addr, sender, INET_ADDRSTRLEN);
        snprintf(sender + strlen(sender), 8, ":%d", ntohs(from.sin_port));
        const long long sec = now.tv_sec;
        const long nsec = now.tv_nsec;
        if (!online) {
            // The fields too, so that a log tells which stamp an outage swallowed.
            const std::string fields = size == stamp_size ? ": " + fields_of(buf) : std::string();
            say("time dropped %lld.%09ld from %s: %zu bytes while offline%s", sec, nsec, sender,
                size, fields.c_str());
        } else if (size != stamp_size) {
            say("time datagram %lld.%09ld from %s: %zu bytes, not %zu: %s", sec, nsec, sender, size,
                stamp_size, hex(buf, size).c_str());
        } else {
            say("time stamp %lld.%09ld from %s: %s", sec, nsec, sender, fields_of(buf).c_str());
        }
    }
}

}  // namespace

bool start_time_sink(const time_settings& s) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound = s.address;
    socklen_t bound_size = sizeof bound;
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&s.address), sizeof s.address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_size) != 0) {
        say("time: cannot bind: %s", strerror(errno));
        return false;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
    // Port 0 takes a free port; the line names the one taken.
    say("time sink listening on %s:%d", text, ntohs(bound.sin_port));
    std::thread(receive_stamps, fd).detach();
    return true;
}

}  // namespace frmcu_sim
