// A temporary simulated board: the directory that BOARDSIM_DIR names for the stand-ins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace support {

class temp_board {
  public:
    temp_board();  // an empty board in a fresh temporary directory
    temp_board(const temp_board&) = delete;
    temp_board& operator=(const temp_board&) = delete;
    ~temp_board();  // removes the directory and all it holds

    const std::string& dir() const { return dir_; }
    std::string path(std::string_view relative) const;

    // Exports a GPIO line: creates gpio/gpio<n>/value holding `level`.
    void export_gpio(int n, std::string_view level = "0") const;
    // Creates spi/spidev1.0, so that /dev/spidev1.0 exists on the board.
    void add_spidev() const;

    bool exists(std::string_view relative) const;
    std::string read(std::string_view relative) const;                   // empty when missing
    void write(std::string_view relative, std::string_view data) const;  // creates directories
    void remove(std::string_view relative) const;
    std::vector<std::string> lines(std::string_view relative) const;

  private:
    std::string dir_;
};

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view data);

}  // namespace support
