// The node control server: one request, one answer per connection, big-endian fields.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "boardsim/frmcu-sim/sim.hpp"
#include "frmcu/bytes.hpp"
#include "frmcu/ctrl_protocol.hpp"

namespace frmcu_sim {

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool send_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Waits until the peer closes (or the FR-MCU goes down), reading whatever it sends.
void linger(int fd) {
    std::uint8_t buf[256];
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        if (!online) return;
    }
}

void serve(int fd, const control_settings& s) {
    std::uint8_t req[frmcu::ctrl_header_size];
    std::size_t got = 0;
    while (got < sizeof req) {
        ssize_t n = recv(fd, req + got, sizeof req - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    say("request %s", hex(req, got).c_str());
    if (got < sizeof req) {
        close(fd);
        return;
    }
    const std::uint16_t code = frmcu::load_be16(&req[8]);
    const answer& a = s.answers[code >= 1 && code <= 3 ? code : 0];
    if (a.close) {
        say("closing without answer");
        close(fd);
        return;
    }
    if (a.silent) {
        say("staying silent");
        linger(fd);
        close(fd);
        return;
    }
    if (a.delay_ms > 0) sleep_ms(a.delay_ms);

    std::vector<std::uint8_t> message;
    if (a.long_message) message.resize(300);
    if (code == frmcu::cmd_statistics && !a.long_message) {
        message.resize(frmcu::statistics_record_size);
        for (std::size_t k = 0; k < s.stats.size(); ++k)
            frmcu::store_be32(&message[4 * k], s.stats[k]);
    }
    message.push_back(static_cast<std::uint8_t>(a.return_code >> 8));
    message.push_back(static_cast<std::uint8_t>(a.return_code));

    std::vector<std::uint8_t> response(frmcu::ctrl_header_size);
    std::memcpy(response.data(), a.magic ? a.magic->data() : "FC01", 4);
    frmcu::store_be32(&response[4],
                      a.length.value_or(static_cast<std::uint32_t>(10 + message.size())));
    frmcu::store_be16(&response[8], a.id.value_or(static_cast<std::uint16_t>(code | 0x8000)));
    response.insert(response.end(), message.begin(), message.end());

    if (a.truncate >= 0 && static_cast<std::size_t>(a.truncate) < response.size()) {
        send_all(fd, response.data(), static_cast<std::size_t>(a.truncate));
        say("answered %d of %zu bytes", a.truncate, response.size());
        linger(fd);
    } else if (a.split_ms >= 0) {
        send_all(fd, response.data(), frmcu::ctrl_header_size);
        sleep_ms(a.split_ms);
        send_all(fd, response.data() + frmcu::ctrl_header_size,
                 response.size() - frmcu::ctrl_header_size);
        say("answered %s", hex(response.data(), response.size()).c_str());
    } else {
        send_all(fd, response.data(), response.size());
        say("answered %s", hex(response.data(), response.size()).c_str());
    }
    close(fd);
}

}  // namespace

bool parse_answer(const std::string& text, answer& a) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(pos, end - pos);
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        auto number = [&] { return std::stoul(value, nullptr, 0); };
        if (key == "rc") a.return_code = static_cast<unsigned>(number());
        else if (key == "delay") a.delay_ms = static_cast<int>(number());
        else if (key == "silent") a.silent = true;
        else if (key == "close") a.close = true;
        else if (key == "magic" && value.size() == 4) a.magic = std::array<char, 4>{value[0], value[1], value[2], value[3]};
        else if (key == "id") a.id = static_cast<std::uint16_t>(number());
        else if (key == "length") a.length = static_cast<std::uint32_t>(number());
        else if (key == "split") a.split_ms = static_cast<int>(number());
        else if (key == "long") a.long_message = true;
        else if (key == "truncate") a.truncate = static_cast<int>(number());
        else if (!key.empty()) return false;
        pos = end + 1;
    }
    return true;
}

bool start_control(const control_settings& s) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&s.address), sizeof s.address) != 0 ||
        listen(fd, 16) != 0) {
        say("control: cannot listen: %s", strerror(errno));
        return false;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &s.address.sin_addr, text, sizeof text);
    say("control listening on %s:%d", text, ntohs(s.address.sin_port));
    std::thread([fd, &s] {
        for (;;) {
            int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::thread(serve, c, std::cref(s)).detach();
        }
    }).detach();
    return true;
}

}  // namespace frmcu_sim
