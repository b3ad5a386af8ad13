#include "tests/support/pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/process.hpp"

namespace support {

pty_pair::pty_pair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("posix_openpt");
    slave_ = ptsname(master_);
    slave_keep_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(slave_keep_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_keep_, TCSANOW, &t);
    fcntl(master_, F_SETFL, O_NONBLOCK);
}

pty_pair::~pty_pair() {
    if (slave_keep_ >= 0) close(slave_keep_);
    if (master_ >= 0) close(master_);
}

void pty_pair::write(std::string_view bytes) const {
    while (!bytes.empty()) {
        ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void pty_pair::write(const std::vector<std::uint8_t>& bytes) const {
    write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> pty_pair::read(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::vector<std::uint8_t> out;
    const auto deadline = clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[256];
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.insert(out.end(), buf, buf + n);
    }
    return out;
}

}  // namespace support
