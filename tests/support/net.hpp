// UDP and TCP helpers on loopback, and private network namespaces for the compiled-in defaults.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bytes.hpp"

namespace support {

// A port that was free on 127.0.0.1 a moment ago (the system's choice).
int free_port(int type);  // SOCK_STREAM or SOCK_DGRAM

class udp_socket {
  public:
    explicit udp_socket(const std::string& address = "127.0.0.1", int port = 0);
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;
    ~udp_socket();

    int fd() const { return fd_; }
    int port() const { return port_; }
    void send_to(const std::string& address, int port, const bytes& data) const;
    std::optional<bytes> receive(std::chrono::milliseconds timeout) const;

  private:
    int fd_ = -1;
    int port_ = 0;
};

// One accepted connection of a listening TCP socket.
class tcp_listener {
  public:
    explicit tcp_listener(const std::string& address = "127.0.0.1", int port = 0);
    tcp_listener(const tcp_listener&) = delete;
    tcp_listener& operator=(const tcp_listener&) = delete;
    ~tcp_listener();

    int port() const { return port_; }
    // Accepts one connection; -1 on timeout. The caller closes the descriptor.
    int accept(std::chrono::milliseconds timeout) const;

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Reads up to `count` bytes from a descriptor until they arrived, EOF, or the timeout passed.
bytes read_some(int fd, std::size_t count, std::chrono::milliseconds timeout);

sockaddr_in ipv4(const std::string& address, int port);

// Moves the calling process (the test) into a new, private network namespace with loopback up,
// as root or through an unprivileged user namespace. False when neither works.
bool enter_private_netns();

// Runs `ip` with the words given; true on success.
bool ip(const std::string& words);

// In a private namespace: eth2 (one end of a veth pair) with the host address, and the FR-MCU
// address on the other end, so that the compiled-in defaults work without leaving the namespace.
bool make_frmcu_link(const std::string& host_address, const std::string& mcu_address);

}  // namespace support
