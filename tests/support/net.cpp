#include "tests/support/net.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/board.hpp"
#include "tests/support/process.hpp"

namespace support {

sockaddr_in ipv4(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

namespace {

int bound_socket(int type, const std::string& address, int port, int& bound_port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = ipv4(address, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        throw std::runtime_error("bind " + address + ":" + std::to_string(port));
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    bound_port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

int free_port(int type) {
    int port = 0;
    close(bound_socket(type, "127.0.0.1", 0, port));
    return port;
}

udp_socket::udp_socket(const std::string& address, int port) {
    fd_ = bound_socket(SOCK_DGRAM, address, port, port_);
}

udp_socket::~udp_socket() {
    close(fd_);
}

void udp_socket::send_to(const std::string& address, int port, const bytes& data) const {
    sockaddr_in a = ipv4(address, port);
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

std::optional<bytes> udp_socket::receive(std::chrono::milliseconds timeout) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    bytes buf(65536);
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

tcp_listener::tcp_listener(const std::string& address, int port) {
    fd_ = bound_socket(SOCK_STREAM, address, port, port_);
    listen(fd_, 8);
}

tcp_listener::~tcp_listener() {
    close(fd_);
}

int tcp_listener::accept(std::chrono::milliseconds timeout) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bytes read_some(int fd, std::size_t count, std::chrono::milliseconds timeout) {
    bytes out;
    const auto deadline = clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[512];
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

bool ip(const std::string& words) {
    std::vector<std::string> args{"/usr/sbin/ip"};
    std::size_t pos = 0;
    while (pos < words.size()) {
        std::size_t end = words.find(' ', pos);
        if (end == std::string::npos) end = words.size();
        if (end > pos) args.push_back(words.substr(pos, end - pos));
        pos = end + 1;
    }
    spawn_options o;
    o.args = args;
    // The stand-in library never reaches the native tools.
    o.env = {"LD_PRELOAD=", "BOARDSIM_DIR="};
    auto r = run(o, 10s);
    return r.status == exited(0);
}

bool enter_private_netns() {
    if (unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    return ip("link set lo up");
}

bool make_frmcu_link(const std::string& host_address, const std::string& mcu_address) {
    return ip("link add eth2 type veth peer name frmcu0") &&
           ip("addr add " + host_address + "/24 dev eth2") &&
           ip("addr add " + mcu_address + "/24 dev frmcu0") && ip("link set frmcu0 up") &&
           ip("link set eth2 up");
}

}  // namespace support
