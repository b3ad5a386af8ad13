// spidev stand-in: /dev/spidev1.0 exists while <board>/spi/spidev1.0 does. The set-up requests
// are answered as the driver answers them and logged to <board>/spi-setup.log. Each transfer
// of an SPI_IOC_MESSAGE goes to the TJA1145 model that the chip-select lines choose (GPIO 73 =
// bit 0, 39 = bit 1, 41 = bit 2); its registers live in <board>/tja1145/chip<n>.regs so that
// they last from run to run, and every transfer is logged to <board>/spi.log as
// "<chip> <transmit hex> <receive hex>".
//
// Fault switches:
//   <board>/spi/fail-setup     names one set-up request (wr_mode, rd_mode, wr_bits_per_word,
//                              rd_bits_per_word, wr_max_speed_hz, rd_max_speed_hz) that fails
//                              with EIO;
//   <board>/spi/fail-transfer  makes SPI_IOC_MESSAGE fail with EIO once the descriptor has
//                              made as many messages as the number it holds (empty: at once).
//   <board>/tja1145/chip<n>.absent  takes chip n off the bus: nobody answers (0xFF).
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "boardsim/preload/boardsim.hpp"
#include "boardsim/preload/tja1145.hpp"

namespace boardsim {

namespace {

constexpr std::uint32_t default_speed_hz = 1000000;
constexpr std::uint32_t chip_max_speed_hz = 4000000;
constexpr std::size_t max_transfer = 4096;  // the driver's buffer size
constexpr int chip_count = 6;
constexpr std::array<int, 3> chip_select_gpios{73, 39, 41};

struct device {
    bool open = false;
    std::uint8_t mode = 0;
    std::uint8_t bits = 8;
    std::uint32_t speed_hz = default_speed_hz;
    unsigned long messages = 0;
};

std::array<device, 4096> devices;

device* device_of(int fd) {
    return fd >= 0 && static_cast<std::size_t>(fd) < devices.size()
               ? &devices[static_cast<std::size_t>(fd)]
               : nullptr;
}

std::string board_path(std::string_view relative) {
    return std::string(board()) + "/" + std::string(relative);
}

// Contents of a board file, or false when it does not exist.
bool read_board_file(const std::string& path, std::string& out) {
    int fd = real().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    out.clear();
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    real().close(fd);
    return true;
}

bool write_board_file(const std::string& path, const void* data, std::size_t size) {
    int fd = real().open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
    real().close(fd);
    return ok;
}

void log_setup(const char* name, const char* outcome) {
    char line[128];
    snprintf(line, sizeof line, "%s %s", name, outcome);
    append_line("spi-setup.log", line);
}

bool setup_fails(const char* name) {
    std::string text;
    if (!read_board_file(board_path("spi/fail-setup"), text)) return false;
    const auto end = text.find_first_of(" \t\r\n");
    return text.substr(0, end) == name;
}

// Whether the transfer switch fails a message after `done` messages on the descriptor.
bool transfer_fails(unsigned long done) {
    std::string text;
    if (!read_board_file(board_path("spi/fail-transfer"), text)) return false;
    return done >= std::strtoul(text.c_str(), nullptr, 0);
}

int selected_chip() {
    int chip = 0;
    for (std::size_t bit = 0; bit < chip_select_gpios.size(); ++bit) {
        std::string level;
        auto path = board_path("gpio/gpio" + std::to_string(chip_select_gpios[bit]) + "/value");
        if (read_board_file(path, level) && !level.empty() && level[0] == '1') chip |= 1 << bit;
    }
    return chip;
}

std::string chip_path(int chip, const char* suffix) {
    return board_path("tja1145/chip" + std::to_string(chip) + suffix);
}

tja1145::chip load_chip(int chip) {
    tja1145::chip c;
    std::string regs;
    if (read_board_file(chip_path(chip, ".regs"), regs)) {
        std::memcpy(c.regs.data(), regs.data(), std::min(regs.size(), c.regs.size()));
    } else {
        c = tja1145::power_on();
        mkdir(board_path("tja1145").c_str(), 0755);
        write_board_file(chip_path(chip, ".regs"), c.regs.data(), c.regs.size());
    }
    std::string stuck;
    if (read_board_file(chip_path(chip, ".stuck"), stuck)) {
        const char* p = stuck.c_str();
        for (;;) {
            char* end = nullptr;
            unsigned long address = std::strtoul(p, &end, 16);
            if (end == p) break;
            if (address < c.stuck.size()) c.stuck[address] = true;
            p = end;
        }
    }
    return c;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char text[3];
    for (auto b : bytes) {
        snprintf(text, sizeof text, "%02x", b);
        out += text;
    }
    return out;
}

// Each transfer is one chip-select frame for the chip.
int serve_message(device& d, std::size_t size, void* arg) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (size == 0 || size % sizeof(spi_ioc_transfer) != 0) {
        errno = EINVAL;
        return -1;
    }
    std::vector<spi_ioc_transfer> transfers(size / sizeof(spi_ioc_transfer));
    std::memcpy(transfers.data(), arg, size);
    for (const auto& t : transfers)
        if (t.len > max_transfer) {
            errno = EMSGSIZE;
            return -1;
        }
    if (transfer_fails(d.messages)) {
        errno = EIO;
        return -1;
    }
    ++d.messages;

    const int chip_number = selected_chip();
    struct stat absent {};
    const bool present =
        chip_number < chip_count && stat(chip_path(chip_number, ".absent").c_str(), &absent) != 0;
    tja1145::chip chip;
    if (present) chip = load_chip(chip_number);
    const auto before = chip.regs;
    int total = 0;
    for (const auto& t : transfers) {
        const unsigned bits = t.bits_per_word ? t.bits_per_word : d.bits;
        const std::uint32_t speed = t.speed_hz ? t.speed_hz : d.speed_hz;
        // Sent in a form the chip cannot sample, the frame means nothing to it.
        const bool garbled =
            bits != 8 || (d.mode & SPI_MODE_3) != SPI_MODE_1 || speed > chip_max_speed_hz;
        const auto* tx =
            reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(t.tx_buf));
        auto* rx = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(t.rx_buf));
        std::vector<std::uint8_t> out(t.len, 0), in(t.len, 0xFF);  // nobody drives MISO
        if (tx) std::memcpy(out.data(), tx, t.len);
        if (present && !garbled) tja1145::serve(chip, out, in);
        if (rx) std::memcpy(rx, in.data(), t.len);
        append_line("spi.log",
                    (std::to_string(chip_number) + " " + hex(out) + " " + hex(in)).c_str());
        total += static_cast<int>(t.len);
    }
    if (present && chip.regs != before)
        write_board_file(chip_path(chip_number, ".regs"), chip.regs.data(), chip.regs.size());
    return total;
}

// A set-up request that its fault switch fails, or that carries no argument: errno set.
bool refused(const char* name, const void* arg) {
    if (setup_fails(name)) {
        log_setup(name, "failed");
        errno = EIO;
        return true;
    }
    if (arg == nullptr) {
        errno = EFAULT;
        return true;
    }
    return false;
}

template <typename T>
int read_setting(const char* name, void* arg, T value) {
    if (refused(name, arg)) return -1;
    std::memcpy(arg, &value, sizeof value);
    log_setup(name, std::to_string(value).c_str());
    return 0;
}

template <typename T>
int write_setting(const char* name, const void* arg, T& setting, bool (*valid)(T)) {
    if (refused(name, arg)) return -1;
    T value;
    std::memcpy(&value, arg, sizeof value);
    log_setup(name, std::to_string(value).c_str());
    if (!valid(value)) {
        errno = EINVAL;
        return -1;
    }
    setting = value;
    return 0;
}

}  // namespace

int spidev_open(int flags, mode_t mode) {
    int fd = real().open(board_path("spi/spidev1.0").c_str(), flags & ~(O_CREAT | O_TRUNC), mode);
    if (fd < 0) return fd;
    fd_state* s = state(fd);
    device* d = device_of(fd);
    if (!s || !d) {
        real().close(fd);
        errno = EMFILE;
        return -1;
    }
    *s = fd_state{fd_kind::spidev, -1};
    *d = device{};
    d->open = true;
    return fd;
}

int spidev_ioctl(int fd, unsigned long request, void* arg) {
    device* d = device_of(fd);
    const auto req = static_cast<std::uint32_t>(request);
    if (!d || !d->open || _IOC_TYPE(req) != SPI_IOC_MAGIC) {
        errno = ENOTTY;
        return -1;
    }
    if (_IOC_NR(req) == 0 && _IOC_DIR(req) == _IOC_WRITE)
        return serve_message(*d, _IOC_SIZE(req), arg);

    constexpr auto any_mode = [](std::uint8_t) { return true; };
    // The controller does words of 8 to 32 bits; 0 stands for 8.
    constexpr auto word = [](std::uint8_t v) { return v == 0 || (v >= 8 && v <= 32); };
    constexpr auto speed = [](std::uint32_t v) { return v != 0; };
    switch (req) {
        case SPI_IOC_WR_MODE:
            return write_setting<std::uint8_t>("wr_mode", arg, d->mode, any_mode);
        case SPI_IOC_RD_MODE:
            return read_setting("rd_mode", arg, d->mode);
        case SPI_IOC_WR_BITS_PER_WORD: {
            int r = write_setting<std::uint8_t>("wr_bits_per_word", arg, d->bits, word);
            if (r == 0 && d->bits == 0) d->bits = 8;
            return r;
        }
        case SPI_IOC_RD_BITS_PER_WORD:
            return read_setting("rd_bits_per_word", arg, d->bits);
        case SPI_IOC_WR_MAX_SPEED_HZ:
            return write_setting<std::uint32_t>("wr_max_speed_hz", arg, d->speed_hz, speed);
        case SPI_IOC_RD_MAX_SPEED_HZ:
            return read_setting("rd_max_speed_hz", arg, d->speed_hz);
        default:
            errno = ENOTTY;
            return -1;
    }
}

void spidev_close(int fd) {
    if (device* d = device_of(fd)) *d = device{};
}

}  // namespace boardsim
