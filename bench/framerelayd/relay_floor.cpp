// relay_floor <port> [<device>]: receives relay datagrams and writes each record, as received,
// to the FlexRay device: one receive per datagram, one write per record, the full queue waited
// out with poll. No checks, no conversion, no accounting: what relaying costs at the least.
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: relay_floor <port> [<device>]\n");
        return 2;
    }
    const char* device = argc > 2 ? argv[2] : "vflexray0";
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const int flexray = socket(45, SOCK_RAW, 1);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    ifreq request{};
    std::strncpy(request.ifr_name, device, sizeof request.ifr_name - 1);
    if (udp < 0 || flexray < 0 ||
        bind(udp, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
        ioctl(flexray, SIOCGIFINDEX, &request) != 0) {
        std::perror("relay_floor set-up");
        return 1;
    }
    struct {
        std::uint16_t family, fill;
        std::int32_t ifindex;
    } address{45, 0, request.ifr_ifindex};
    if (bind(flexray, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("relay_floor bind");
        return 1;
    }
    std::printf("relay_floor ready\n");
    std::fflush(stdout);

    static std::array<std::uint8_t, 1518> buffer;
    for (;;) {
        const ssize_t n = recv(udp, buffer.data(), buffer.size(), 0);
        if (n < 16) continue;
        const std::size_t records = (static_cast<std::size_t>(n) - 16) / 296;
        for (std::size_t i = 0; i < records; ++i) {
            while (write(flexray, &buffer[16 + 296 * i], 296) < 0) {
                if (errno != ENOBUFS) return 1;
                pollfd p{flexray, POLLOUT, 0};
                poll(&p, 1, 1000);
            }
        }
    }
}
