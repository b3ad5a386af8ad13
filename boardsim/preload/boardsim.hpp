// libboardsim.so: stands in for the board's kernel facilities while BOARDSIM_DIR names a
// simulated board. The core interposes the libc calls and hands the descriptors of each
// facility to its own file (gpio, spidev, vflexray).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace boardsim {

// The libc functions that the stand-ins call through to.
struct libc_calls {
    int (*open)(const char*, int, ...);
    int (*close)(int);
    ssize_t (*write)(int, const void*, size_t);
    int (*ioctl)(int, unsigned long, ...);
    int (*socket)(int, int, int);
    int (*bind)(int, const sockaddr*, socklen_t);
};
const libc_calls& real();

// The simulated board's directory, or nullptr when the stand-ins are off.
const char* board();

enum class fd_kind : std::uint8_t { none, gpio, spidev, vflexray };

struct fd_state {
    fd_kind kind = fd_kind::none;
    int gpio = -1;  // GPIO number of a value file
};

// State of a descriptor that a stand-in owns; nullptr for descriptors out of range.
fd_state* state(int fd);

// Appends one line (text without its line end) to a file of the board, in one write.
void append_line(const char* relative, const char* text);
// CLOCK_MONOTONIC as "<seconds>.<6 decimals>".
void monotonic_text(char* out, std::size_t size);

// Facilities. Each returns what the libc call would, errno set on failure.
int gpio_open(int gpio, int flags, mode_t mode);
ssize_t gpio_write(int fd, int gpio, const void* data, size_t size);

int spidev_open(int flags, mode_t mode);
int spidev_ioctl(int fd, unsigned long request, void* arg);
void spidev_close(int fd);

int vflexray_socket(int type, int protocol);
int vflexray_ioctl(int fd, unsigned long request, void* arg);
int vflexray_bind(int fd, const sockaddr* address, socklen_t length);
ssize_t vflexray_write(int fd, const void* data, size_t size);
void vflexray_close(int fd);

}  // namespace boardsim
