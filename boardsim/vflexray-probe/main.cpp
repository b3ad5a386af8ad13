// vflexray-probe: puts a kernel's virtual FlexRay device (socket family 45) through bad input
// and its queue rules, and prints one line per check: "ok <check>: <seen>" or "FAIL ...".
// Exits 0 when every check held. The device <name> must exist, with nothing else bound to it;
// its stall switch is /sys/class/net/<name>/stall. For the virtual board's kernel module.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int flexray_family = 45;
constexpr std::size_t record_size = 296;

std::string device;
int failures = 0;

void check(bool ok, const char* name, const std::string& seen) {
    printf("%s %s: %s\n", ok ? "ok" : "FAIL", name, seen.c_str());
    if (!ok) ++failures;
}

std::string error_text(int result) {
    return result < 0 ? std::string(strerrordesc_np(errno))
                      : "succeeded (" + std::to_string(result) + ")";
}

// Whether a call failed with `expected`; `seen` says what it did.
bool failed_with(long result, int expected, std::string& seen) {
    const int e = errno;
    seen = result < 0 ? strerrordesc_np(e) : "succeeded (" + std::to_string(result) + ")";
    return result < 0 && e == expected;
}

int open_socket() {
    return socket(flexray_family, SOCK_RAW | SOCK_CLOEXEC, 1);
}

int index_of(const char* name) {
    const int fd = open_socket();
    ifreq request{};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
    const int r = ioctl(fd, SIOCGIFINDEX, &request);
    close(fd);
    return r == 0 ? request.ifr_ifindex : -1;
}

int bind_to(int fd, int index, std::uint16_t family = flexray_family, socklen_t length = 8) {
    std::array<unsigned char, 8> address{};
    memcpy(address.data(), &family, sizeof family);
    memcpy(address.data() + 4, &index, sizeof index);
    return bind(fd, reinterpret_cast<const sockaddr*>(address.data()), length);
}

bool set_stall(bool on) {
    const std::string path = "/sys/class/net/" + device + "/stall";
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, on ? "1" : "0", 1) == 1;
    if (fd >= 0) close(fd);
    return ok;
}

std::array<unsigned char, record_size> record(std::uint32_t n) {
    std::array<unsigned char, record_size> r{};
    memcpy(r.data(), &n, sizeof n);
    r[record_size - 1] = static_cast<unsigned char>(n);
    return r;
}

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: vflexray-probe <device>\n", stderr);
        return 2;
    }
    device = argv[1];
    const int index = index_of(device.c_str());
    if (index < 0) {
        fprintf(stderr, "vflexray-probe: no device %s: %s\n", device.c_str(), strerror(errno));
        return 1;
    }
    std::string seen;

    // The socket's kind.
    bool ok = failed_with(socket(flexray_family, SOCK_DGRAM, 1), ESOCKTNOSUPPORT, seen);
    check(ok, "a datagram socket is refused (ESOCKTNOSUPPORT)", seen);
    ok = failed_with(socket(flexray_family, SOCK_RAW, 2), EPROTONOSUPPORT, seen);
    check(ok, "protocol 2 is refused (EPROTONOSUPPORT)", seen);

    // Binding.
    const int writer = open_socket();
    check(writer >= 0, "socket(45, SOCK_RAW, 1) opens", error_text(writer));
    ok = failed_with(write(writer, record(0).data(), record_size), ENXIO, seen);
    check(ok, "a write before bind fails (ENXIO)", seen);
    ok = failed_with(bind_to(writer, 0x7ffffff0), ENODEV, seen);
    check(ok, "bind to a missing device fails (ENODEV)", seen);
    ok = failed_with(bind_to(writer, index_of("lo")), ENODEV, seen);
    check(ok, "bind to a device of another kind (lo) fails (ENODEV)", seen);
    ok = failed_with(bind_to(writer, index, AF_INET), EINVAL, seen);
    check(ok, "bind with another family fails (EINVAL)", seen);
    ok = failed_with(bind_to(writer, index, flexray_family, 4), EINVAL, seen);
    check(ok, "bind with a 4-byte address fails (EINVAL)", seen);
    const int bound = bind_to(writer, index);
    check(bound == 0, "bind to the device", error_text(bound));
    ok = failed_with(bind_to(writer, index), EINVAL, seen);
    check(ok, "a second bind fails (EINVAL)", seen);

    // Writes of another length.
    std::array<unsigned char, record_size + 1> big{};
    bool lengths = true;
    std::string lengths_seen;
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, record_size - 1, record_size + 1}) {
        lengths = failed_with(write(writer, big.data(), n), EINVAL, seen) && lengths;
        lengths_seen += std::to_string(n) + ": " + seen + "; ";
    }
    check(lengths, "writes of 0, 1, 295 and 297 bytes fail (EINVAL)", lengths_seen);

    // The queue: stalled, it takes ten records, then ENOBUFS; poll waits for room.
    const int reader = open_socket();
    bind_to(reader, index);
    const bool stalled = set_stall(true);
    check(stalled, "the stall switch takes 1", stalled ? "set" : strerrordesc_np(errno));
    int queued = 0;
    errno = 0;
    while (queued < 100 && write(writer, record(static_cast<std::uint32_t>(queued + 1)).data(),
                                 record_size) == static_cast<ssize_t>(record_size))
        ++queued;
    const int full_errno = errno;
    check(queued == 10 && full_errno == ENOBUFS, "a stalled device queues 10 records, then ENOBUFS",
          std::to_string(queued) + " records, then " + strerrordesc_np(full_errno));
    pollfd p{writer, POLLOUT, 0};
    const double before = now_ms();
    int r = poll(&p, 1, 300);
    check(r == 0, "poll(POLLOUT) on a full queue waits its time out (300 ms)",
          std::to_string(r) + " after " + std::to_string(static_cast<int>(now_ms() - before)) +
              " ms");
    std::array<unsigned char, 512> in{};
    ok = failed_with(recv(reader, in.data(), in.size(), MSG_DONTWAIT), EAGAIN, seen);
    check(ok, "a read of a stalled device finds nothing (EAGAIN)", seen);
    timeval limit{0, 200000};
    setsockopt(reader, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ok = failed_with(recv(reader, in.data(), in.size(), 0), EAGAIN, seen);
    check(ok, "a blocking read of a stalled device ends at its time-out", seen);

    // A reader with room for about one record holds the queue; each record it takes makes room.
    const int small = 1;
    setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    set_stall(false);
    p = {writer, POLLOUT, 0};
    r = poll(&p, 1, 0);
    const ssize_t got = recv(reader, in.data(), in.size(), MSG_DONTWAIT);
    p = {writer, POLLOUT, 0};
    const int after_read = poll(&p, 1, 1000);
    check(r == 1 && got == static_cast<ssize_t>(record_size) && after_read == 1 &&
              (p.revents & POLLOUT),
          "a record taken makes room: poll reports POLLOUT",
          "poll " + std::to_string(r) + ", read " + std::to_string(got) + ", poll " +
              std::to_string(after_read));

    // Every record reaches the reader once, in order, also with the writer refilling the queue.
    std::uint32_t expect = 1;
    if (got == static_cast<ssize_t>(record_size)) {
        std::uint32_t n = 0;
        memcpy(&n, in.data(), sizeof n);
        if (n == expect) ++expect;
    }
    std::uint32_t next_in = static_cast<std::uint32_t>(queued) + 1;
    bool in_order = expect == 2;
    const double deadline = now_ms() + 10000;
    while (expect <= 200 && in_order && now_ms() < deadline) {
        if (next_in <= 200 &&
            write(writer, record(next_in).data(), record_size) == static_cast<ssize_t>(record_size))
            ++next_in;
        const ssize_t n = recv(reader, in.data(), in.size(), MSG_DONTWAIT);
        if (n < 0) continue;
        std::uint32_t seq = 0;
        memcpy(&seq, in.data(), sizeof seq);
        in_order = n == static_cast<ssize_t>(record_size) && seq == expect &&
                   in[record_size - 1] == static_cast<unsigned char>(seq);
        ++expect;
    }
    check(in_order && expect == 201, "200 records reach the reader whole and in order",
          std::to_string(expect - 1) + " read" + (in_order ? "" : ", one out of order or cut"));

    // The stall switch takes 0 and 1 only.
    const std::string path = "/sys/class/net/" + device + "/stall";
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ok = failed_with(write(fd, "x", 1), EINVAL, seen);
    close(fd);
    check(ok, "the stall switch refuses \"x\" (EINVAL)", seen);

    close(reader);
    close(writer);
    return failures == 0 ? 0 : 1;
}
