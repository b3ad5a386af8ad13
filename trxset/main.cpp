// trxset: selects one of the board's TJA1145 CAN transceivers, identifies it, programs one of
// its modes and reports its status. The transceivers share one SPI bus; three GPIO lines carry
// the number of the selected one and the FRM line is pulsed before every transfer.
// Every text printed here is interface, exact to the letter, misspellings included ("choosen"):
// scripts in the field match them and the tests pin them. Never tidy one.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trxset/options.hpp"
#include "trxset/tja1145.hpp"

namespace trxset {

namespace {

constexpr const char* spi_device = "/dev/spidev1.0";
constexpr std::array<int, 3> chip_select_gpios{73, 39, 41};  // CS_D0, CS_D1, CS_D2
constexpr std::array<const char*, 3> chip_select_names{"CS_D0", "CS_D1", "CS_D2"};
constexpr int frm_gpio = 187;
constexpr useconds_t frm_settle_us = 100;

// What the driver reads back replaces what was asked for; transfers use the read-back values.
struct spi_settings {
    std::uint8_t spi_mode = SPI_MODE_1;
    std::uint8_t bits_per_word = 8;
    std::uint32_t max_speed_hz = 500000;
};

struct run_state {
    trx_options options;
    spi_settings spi;
    int fd = -1;
};
run_state run;

void gpio_path(std::array<char, 60>& path, int gpio) {
    snprintf(path.data(), path.size(), "/sys/class/gpio/gpio%d/value", gpio);
}

// sysfs takes the level as a digit; the zero byte goes along with it.
constexpr const char* level_text(int level) {
    return level ? "1" : "0";
}

int gpio_write(int gpio, int level) {
    std::array<char, 60> path;
    gpio_path(path, gpio);
    const int fd = open(path.data(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "Failed to /sys/class/gpio/gpio%d/value: %s", gpio, strerror(errno));
        return -1;
    }
    int failed = 0;
    if (write(fd, level_text(level), 2) != 2) {
        fprintf(stderr, "Failed to write to GPIO%d: %s\n", gpio, strerror(errno));
        failed = -1;
    }
    close(fd);
    return failed;
}

void select_transceiver(int transceiver) {
    for (std::size_t line = 0; line < chip_select_gpios.size(); ++line) {
        const auto row = static_cast<std::size_t>(transceiver) * chip_select_gpios.size();
        if (gpio_write(chip_select_gpios[line], chip_select_levels[row + line]) != 0) {
            fprintf(stderr, "Failed to set %s for choosen transceiver:%d\n",
                    chip_select_names[line], transceiver);
            exit(1);
        }
    }
}

// Runs before every transfer; a failure is only warned about.
void frm_pulse() {
    std::array<char, 60> path;
    gpio_path(path, frm_gpio);
    const int fd = open(path.data(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "WARNING:Failed to open FRM(gpio187): %s", strerror(errno));
        return;
    }
    if (write(fd, level_text(1), 2) != 2)
        fprintf(stderr, "WARNING:Failed to write to FRM(gpio187) value 1(inactive) err: %s\n",
                strerror(errno));
    usleep(frm_settle_us);
    if (write(fd, level_text(0), 2) != 2)
        fprintf(stderr, "WARNING:Failed to write to FRM(gpio187) value 0(active) err: %s\n",
                strerror(errno));
    usleep(frm_settle_us);
    close(fd);
}

int spi_open() {
    const int fd = open(spi_device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "can't open %s: %s\n", spi_device, strerror(errno));
        exit(1);
    }
    struct request {
        unsigned long code;
        void* arg;
        const char* failure;
    };
    const std::array<request, 6> requests{{
        {SPI_IOC_WR_MODE, &run.spi.spi_mode, "can't set spi mode"},
        {SPI_IOC_RD_MODE, &run.spi.spi_mode, "can't get spi mode"},
        {SPI_IOC_WR_BITS_PER_WORD, &run.spi.bits_per_word, "can't set bits per word"},
        {SPI_IOC_RD_BITS_PER_WORD, &run.spi.bits_per_word, "can't get bits per word"},
        {SPI_IOC_WR_MAX_SPEED_HZ, &run.spi.max_speed_hz, "can't set max speed hz"},
        {SPI_IOC_RD_MAX_SPEED_HZ, &run.spi.max_speed_hz, "can't get max speed hz"},
    }};
    for (const auto& r : requests)
        if (ioctl(fd, r.code, r.arg) == -1) {
            perror(r.failure);
            close(fd);
            exit(-1);
        }
    return fd;
}

// One register access: one two-byte transfer in a message of its own.
std::uint8_t spi_transfer(void*, std::uint8_t byte0, std::uint8_t byte1) {
    std::array<std::uint8_t, 2> tx{byte0, byte1};
    std::array<std::uint8_t, 2> rx{};
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<std::uintptr_t>(tx.data());
    transfer.rx_buf = reinterpret_cast<std::uintptr_t>(rx.data());
    transfer.len = 2;
    transfer.speed_hz = run.spi.max_speed_hz;
    transfer.bits_per_word = run.spi.bits_per_word;
    frm_pulse();
    if (ioctl(run.fd, SPI_IOC_MESSAGE(1), &transfer) <= 0) {
        // The register work cannot go on half done; keep what was already printed, and the
        // transfer's own error for the message.
        const int error = errno;
        fflush(stdout);
        errno = error;
        perror("can't send spi message\n");
        abort();
    }
    return rx[1];
}

void print(void*, stream where, const char* text) {
    fputs(text, where == stream::out ? stdout : stderr);
}

int usage(const char* name) {
    printf("Usage: %s [-Dmws]\n", name);
    fwrite(usage_options.data(), 1, usage_options.size(), stdout);
    putchar('\n');
    return 1;
}

}  // namespace

}  // namespace trxset

int main(int argc, char** argv) {
    using namespace trxset;
    trx_options& options = run.options;
    const option_reading reading = read_options(argc, argv, options);
    switch (reading.outcome) {
        case option_outcome::run:
            break;
        case option_outcome::bad_device:
            fprintf(stderr, "Error wrong D in parameter: %s\n", reading.argument);
            return 1;
        case option_outcome::bad_wuf:
            fputs("Wrong wake-up frame syntax\n", stderr);
            return usage(argv[0]);
        case option_outcome::usage:
            return usage(argv[0]);
    }
    if (options.device >= transceiver_count) {
        fprintf(stderr, "CAN transceiver %d is not selectable chip, select choose 0 to 5\n",
                options.device);
        return 1;
    }

    const chip_port port{nullptr, spi_transfer, print};
    if (!mode_accepted(port, options.mode)) return 1;  // before the chip is touched
    select_transceiver(options.device);
    run.fd = spi_open();
    if (!identify_transceiver(port, options.device)) {
        close(run.fd);
        return 1;
    }
    int result = 0;
    bool report = options.status;
    if (options.mode != identify_only) {
        const programming done = program_transceiver(port, options);
        if (!done.prepared) {
            close(run.fd);
            return 1;
        }
        result = done.result;
        report = report || done.force_status;
    }
    if (report) result = report_status(port, options.mode, result);
    close(run.fd);
    return result;
}
