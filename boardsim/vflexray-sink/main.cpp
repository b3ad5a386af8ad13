// vflexray-sink: the device side of the virtual FlexRay device stand-in. Creates the device
// <board>/vflexray/<name>.sock, takes every record written to it and appends it to
// <board>/vflexray/<name>.records. SIGUSR1 stalls it (the device queue fills up), SIGUSR2 lets
// it go on; SIGTERM or SIGINT remove the device and end it.
//
// With --kernel it is the reader of a real device of that name (the virtual board's kernel
// module): it binds a socket of family 45 to it and takes the records the device hands on;
// SIGUSR1 and SIGUSR2 set the device's stall switch, and the device stays when it ends.
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: vflexray-sink [--discard] [--kernel] [--every MS] [<name>]\n"
    "Stands in for the virtual FlexRay device <name> (default vflexray0) of the board that\n"
    "BOARDSIM_DIR names, appending every record it takes to vflexray/<name>.records.\n"
    "  --discard   take records without keeping them (for benchmarks)\n"
    "  --kernel    be the reader of the kernel's device <name> (socket family 45), not a\n"
    "              stand-in for it; the signals set /sys/class/net/<name>/stall\n"
    "  --every MS  once the queue is empty, wait MS milliseconds instead of waiting for the\n"
    "              next record, and hold that long's records (for benchmarks: a write then\n"
    "              wakes no reader, as a controller's transmit path takes its queue)\n"
    "SIGUSR1 stalls the device, SIGUSR2 resumes it, SIGTERM ends it. Reports on standard output;\n"
    "the end gives the records taken and the FNV-1a hash of their frame numbers (first word).\n";

volatile sig_atomic_t stall_asked = 0;
volatile sig_atomic_t resume_asked = 0;
volatile sig_atomic_t stop_asked = 0;

void on_signal(int sig) {
    if (sig == SIGUSR1) stall_asked = 1;
    if (sig == SIGUSR2) resume_asked = 1;
    if (sig == SIGTERM || sig == SIGINT) stop_asked = 1;
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void say(const char* line) {
    printf("%s\n", line);
    fflush(stdout);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A socket of family 45 bound to the kernel's device `name`, or -1 with the reason told.
int bind_kernel_device(const std::string& name) {
    constexpr int flexray_family = 45;
    const int fd = socket(flexray_family, SOCK_RAW | SOCK_CLOEXEC, 1);
    if (fd < 0) {
        fprintf(stderr, "vflexray-sink: socket of family 45: %s\n", strerror(errno));
        return -1;
    }
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name) {
        fprintf(stderr, "vflexray-sink: no device is named %s\n", name.c_str());
        return -1;
    }
    memcpy(request.ifr_name, name.c_str(), name.size());
    if (ioctl(fd, SIOCGIFINDEX, &request) != 0) {
        fprintf(stderr, "vflexray-sink: device %s: %s\n", name.c_str(), strerror(errno));
        return -1;
    }
    // family, two bytes of fill, the interface index
    unsigned char address[8] = {};
    const std::uint16_t family = flexray_family;
    memcpy(address, &family, sizeof family);
    memcpy(address + 4, &request.ifr_ifindex, sizeof request.ifr_ifindex);
    if (bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof address) != 0) {
        fprintf(stderr, "vflexray-sink: bind to %s: %s\n", name.c_str(), strerror(errno));
        return -1;
    }
    return fd;
}

bool set_stall(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, on ? "1" : "0", 1) == 1;
    if (!ok) fprintf(stderr, "vflexray-sink: %s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool discard = false;
    bool kernel = false;
    long every_ms = 0;
    static const option options[] = {
        {"discard", no_argument, nullptr, 'd'},
        {"kernel", no_argument, nullptr, 'k'},
        {"every", required_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        if (opt == 'd') {
            discard = true;
        } else if (opt == 'k') {
            kernel = true;
        } else if (opt == 'e') {
            char* end = nullptr;
            every_ms = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || every_ms < 1 || every_ms > 1000) {
                fprintf(stderr, "vflexray-sink: --every takes 1 to 1000 (ms): %s\n", optarg);
                return 2;
            }
        } else if (opt == 'h') {
            fputs(usage, stdout);
            return 0;
        } else {
            fputs(usage, stderr);
            return 2;
        }
    }
    if (argc - optind > 1) {
        fputs(usage, stderr);
        return 2;
    }
    const std::string name = optind < argc ? argv[optind] : "vflexray0";
    const char* board = getenv("BOARDSIM_DIR");
    if (!board || !*board) {
        fputs("vflexray-sink: BOARDSIM_DIR names no board\n", stderr);
        return 1;
    }
    const std::string dir = std::string(board) + "/vflexray";
    const std::string sock_path = dir + "/" + name + ".sock";
    const std::string records_path = dir + "/" + name + ".records";
    mkdir(dir.c_str(), 0755);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sock_path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "vflexray-sink: path too long: %s\n", sock_path.c_str());
        return 1;
    }
    memcpy(address.sun_path, sock_path.c_str(), sock_path.size());

    // Signals come in only while the sink waits, so a change never slips past a wait.
    sigset_t handled, wait_mask;
    sigemptyset(&handled);
    for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) {
        sigaddset(&handled, sig);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigaction(sig, &sa, nullptr);
    }
    sigprocmask(SIG_BLOCK, &handled, &wait_mask);

    const std::string stall_path = "/sys/class/net/" + name + "/stall";
    const int fd =
        kernel ? bind_kernel_device(name) : socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (kernel) {
        if (fd < 0) return 1;
    } else {
        unlink(sock_path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            fprintf(stderr, "vflexray-sink: cannot create %s: %s\n", sock_path.c_str(),
                    strerror(errno));
            return 1;
        }
    }
    if (every_ms > 0) {
        // Room for a period of records at a full bus and more (a record takes about 1 KiB of
        // receive buffer); beyond the usual limit, so as root.
        const int room = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0 &&
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room) != 0)
            fprintf(stderr, "vflexray-sink: receive buffer: %s\n", strerror(errno));
    }
    int out = -1;
    if (!discard) {
        out = open(records_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0) {
            fprintf(stderr, "vflexray-sink: cannot open %s: %s\n", records_path.c_str(),
                    strerror(errno));
            if (!kernel) unlink(sock_path.c_str());
            return 1;
        }
    }
    printf("device %s ready\n", name.c_str());
    fflush(stdout);

    // Records are gathered while more are queued and written when the queue runs empty, so
    // the file is complete whenever the device is idle.
    std::vector<char> pending;
    pending.reserve(1 << 20);
    char record[4096];
    unsigned long long taken = 0;
    // FNV-1a over the frame numbers (the record's first word), in the order taken: the frame
    // source reports the same over what it delivered.
    std::uint64_t digest = 0xcbf29ce484222325u;
    double first = 0, last = 0;
    bool stalled = false;
    bool ok = true;
    bool received_all = true;
    while (ok && !stop_asked) {
        if (stall_asked) {
            stall_asked = 0;
            if (kernel && !set_stall(stall_path, true)) break;
            if (!stalled) say("stalled");
            stalled = true;
        }
        if (resume_asked) {
            resume_asked = 0;
            if (kernel && !set_stall(stall_path, false)) break;
            if (stalled) say("resumed");
            stalled = false;
        }
        // The kernel's device stalls itself; its reader keeps waiting for records.
        if (stalled && !kernel) {
            sigsuspend(&wait_mask);
            continue;
        }
        const ssize_t n = recv(fd, record, sizeof record, MSG_DONTWAIT);
        if (n >= 0) {
            last = now();
            if (taken++ == 0) first = last;
            if (n != 296) fprintf(stderr, "vflexray-sink: record of %zd bytes\n", n);
            if (n >= 4) {
                std::uint32_t seq = 0;
                memcpy(&seq, record, sizeof seq);
                for (int k = 0; k < 4; ++k)
                    digest = (digest ^ ((seq >> (8 * k)) & 0xff)) * 0x100000001b3u;
            }
            if (out >= 0) pending.insert(pending.end(), record, record + n);
            if (pending.size() >= (1 << 20) - sizeof record) {
                ok = write_all(out, pending.data(), pending.size());
                pending.clear();
            }
            continue;
        }
        if (errno != EAGAIN && errno != EINTR) {
            // The kernel's device went away (ENETDOWN) or the socket failed.
            if (kernel) {
                fprintf(stderr, "vflexray-sink: receive: %s\n", strerror(errno));
                received_all = false;
            }
            break;
        }
        if (!pending.empty()) {
            ok = write_all(out, pending.data(), pending.size());
            pending.clear();
        }
        if (every_ms > 0) {
            const timespec period{every_ms / 1000, (every_ms % 1000) * 1000000L};
            ppoll(nullptr, 0, &period, &wait_mask);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        ppoll(&p, 1, nullptr, &wait_mask);
    }
    if (!pending.empty()) ok = write_all(out, pending.data(), pending.size()) && ok;
    if (!kernel) unlink(sock_path.c_str());
    // First and last record times let a benchmark work out the rate the device saw.
    printf("took %llu records in %.6f s\n", taken, taken > 1 ? last - first : 0.0);
    printf("frame digest %016llx\n", static_cast<unsigned long long>(digest));
    fflush(stdout);
    if (!ok) {
        fprintf(stderr, "vflexray-sink: cannot write %s: %s\n", records_path.c_str(),
                strerror(errno));
        return 1;
    }
    return received_all ? 0 : 1;
}
