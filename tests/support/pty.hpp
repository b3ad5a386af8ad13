// Pseudo-terminal pairs: the test holds the master side, the program opens the slave path.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace support {

class pty_pair {
  public:
    pty_pair();  // master in raw mode, non-blocking
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;
    ~pty_pair();

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_; }

    void write(std::string_view bytes) const;
    void write(const std::vector<std::uint8_t>& bytes) const;
    // Reads what the program wrote until `count` bytes arrived or the timeout passed.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    int master_ = -1;
    int slave_keep_ = -1;  // keeps the slave open so that the master never sees a hang-up
    std::string slave_;
};

}  // namespace support
