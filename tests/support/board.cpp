#include "tests/support/board.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace support {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, std::string_view data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

temp_board::temp_board() {
    std::string tmpl = (fs::temp_directory_path() / "board.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
}

temp_board::~temp_board() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string temp_board::path(std::string_view relative) const {
    return dir_ + "/" + std::string(relative);
}

void temp_board::export_gpio(int n, std::string_view level) const {
    write("gpio/gpio" + std::to_string(n) + "/value", level);
}

void temp_board::add_spidev() const {
    write("spi/spidev1.0", "");
}

bool temp_board::exists(std::string_view relative) const {
    return fs::exists(path(relative));
}

std::string temp_board::read(std::string_view relative) const {
    return read_file(path(relative));
}

void temp_board::write(std::string_view relative, std::string_view data) const {
    write_file(path(relative), data);
}

void temp_board::remove(std::string_view relative) const {
    std::error_code ec;
    fs::remove_all(path(relative), ec);
}

std::vector<std::string> temp_board::lines(std::string_view relative) const {
    std::vector<std::string> out;
    std::istringstream in(read(relative));
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

}  // namespace support
