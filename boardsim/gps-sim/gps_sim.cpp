// gps-sim: a GPS receiver on a pseudo-terminal, for nmeaview's tests and for trying it by hand.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char usage_text[] = R"(usage: gps-sim [options]
A GPS receiver on a pseudo-terminal. Prints the path of the receiver's serial port (the
terminal's slave side) as the first line on standard output, then writes NMEA sentences to it.
After the last sentence it prints "done" and keeps the port open, silent, until SIGINT or
SIGTERM ends it (or, with --unplug, until the sentences were read).

  -f, --file FILE      send the lines of FILE as they are, line ends kept, once
      --loop           with --file: start again at the end of the file
  -m, --mix KINDS      generate sentences of these kinds in turn, comma-separated
                       (default fix,gga); one round of KINDS is one second of receiver time:
                         fix        GPRMC with a fix; the first is
                                    $GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A
                                    and each round moves 0.001' north
                         nofix      GPRMC without a fix (status V), time and date only
                         nocourse   GPRMC with a fix and an empty course field
                         gga        GPGGA
                         other      GPGSA
                         gnrmc      GNRMC with a fix (another talker)
                         badsum     GPRMC with a fix and a wrong checksum
                         lowercase  GPRMC with a fix, its checksum in lowercase letters
                         long       GPRMC with a fix, 85 characters long
                         garbage    20 bytes that are no sentence (never a "$")
  -n, --count N        stop after N sentences or file lines (default: no end)
  -r, --rate N         sentences per second, 0 for as fast as possible (default 1)
  -b, --burst N        send N sentences in each write (default 1)
  -s, --split N        send each write in pieces of N bytes, 2 ms apart
  -e, --lf             end generated sentences with LF alone (default CR LF)
  -t, --start DDMMYY,HHMMSS
                       receiver time of the first round (default 230394,123519)
  -l, --link PATH      make PATH a symbolic link to the port; removed at exit
  -w, --wait-reader    send nothing until a reader has set up the port and flushed it
                       (as nmeaview does when it starts)
  -x, --unplug         after the last sentence, wait until it was read, then close the
                       port and exit (the reader sees a hang-up)
  -h, --help           this text
Exit status: 0 when done or ended by a signal, 1 on a failure, 2 on a bad option.
)";

enum class kind { fix, nofix, nocourse, gga, other, gnrmc, badsum, lowercase, longer, garbage };

struct kind_name {
    const char* name;
    kind k;
};
constexpr kind_name kind_names[] = {{"fix", kind::fix},           {"nofix", kind::nofix},
                                    {"nocourse", kind::nocourse}, {"gga", kind::gga},
                                    {"other", kind::other},       {"gnrmc", kind::gnrmc},
                                    {"badsum", kind::badsum},     {"lowercase", kind::lowercase},
                                    {"long", kind::longer},       {"garbage", kind::garbage}};

struct settings {
    std::string file;
    bool loop = false;
    std::vector<kind> mix{kind::fix, kind::gga};
    long count = -1;
    long rate = 1;
    long burst = 1;
    long split = 0;
    bool lf = false;
    std::tm start{};
    std::string link;
    bool wait_reader = false;
    bool unplug = false;
};

volatile sig_atomic_t stop = 0;

void on_signal(int) {
    stop = 1;
}

unsigned checksum(const std::string& body) {
    unsigned x = 0;
    for (unsigned char c : body)
        x ^= c;
    return x;
}

std::string hex2(unsigned v, bool lower) {
    char s[3];
    std::snprintf(s, sizeof s, lower ? "%02x" : "%02X", v & 0xFFu);
    return s;
}

// Generated sentences: every kind of one round shares the round's time and position.
class generator {
  public:
    explicit generator(const settings& s) : s_(s) {
        std::tm start = s.start;
        base_ = timegm(&start);
    }

    std::string next() {
        const kind k = s_.mix[index_];
        std::string out = make(k);
        if (++index_ == s_.mix.size()) {
            index_ = 0;
            ++round_;
        }
        return out;
    }

  private:
    std::string frame(const std::string& body, unsigned sum, bool lower = false) const {
        return "$" + body + "*" + hex2(sum, lower) + (s_.lf ? "\n" : "\r\n");
    }

    std::string rmc(const char* talker, const char* course, const std::string& magvar) const {
        return std::string(talker) + "RMC," + time_text() + ",A," + latitude() +
               ",N,01131.000,E,022.4," + course + "," + date_text() + "," + magvar + ",W";
    }

    std::string make(kind k) {
        switch (k) {
            case kind::fix:
                return sentence(rmc("GP", "084.4", "003.1"));
            case kind::nofix:
                return sentence("GPRMC," + time_text() + ",V,,,,,,," + date_text() + ",,,N");
            case kind::nocourse:
                return sentence(rmc("GP", "", "003.1"));
            case kind::gga:
                return sentence("GPGGA," + time_text() + "," + latitude() +
                                ",N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
            case kind::other:
                return sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
            case kind::gnrmc:
                return sentence(rmc("GN", "084.4", "003.1"));
            case kind::badsum: {
                const std::string body = rmc("GP", "084.4", "003.1");
                return frame(body, checksum(body) ^ 0x5Au);
            }
            case kind::lowercase:
                // A checksum of digits alone reads the same in either case: vary the
                // magnetic variation until it holds a letter (some pair of digits does).
                for (char d1 = '0'; d1 <= '9'; ++d1)
                    for (char d2 = '0'; d2 <= '9'; ++d2) {
                        const std::string body =
                            rmc("GP", "084.4", std::string("00") + d1 + "." + d2);
                        const unsigned sum = checksum(body);
                        if ((sum & 0xFu) > 9 || (sum >> 4) > 9) return frame(body, sum, true);
                    }
                return {};
            case kind::longer: {
                // Pad the magnetic variation with zeros to 85 characters in all.
                std::string magvar = "003.1";
                const std::size_t end = s_.lf ? 1 : 2;
                while (1 + rmc("GP", "084.4", magvar).size() + 3 + end < 85)
                    magvar.insert(0, "0");
                return sentence(rmc("GP", "084.4", magvar));
            }
            case kind::garbage: {
                std::string g;
                for (int i = 0; i < 20; ++i) {
                    noise_ = noise_ * 1103515245u + 12345u;
                    const char c = static_cast<char>((noise_ >> 16) & 0xFF);
                    g += c == '$' ? '#' : c;
                }
                return g;
            }
        }
        return {};
    }

    std::string sentence(const std::string& body) const { return frame(body, checksum(body)); }

    std::tm now() const {
        const std::time_t t = base_ + round_;
        std::tm tm{};
        gmtime_r(&t, &tm);
        return tm;
    }
    std::string time_text() const {
        const std::tm t = now();
        char s[40];
        std::snprintf(s, sizeof s, "%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec);
        return s;
    }
    std::string date_text() const {
        const std::tm t = now();
        char s[40];
        std::snprintf(s, sizeof s, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100);
        return s;
    }
    // 48 deg 07.038 min north, 0.001 min further each round.
    std::string latitude() const {
        const long thousandths = 48L * 60000 + 7038 + round_;
        char s[72];
        std::snprintf(s, sizeof s, "%02ld%02ld.%03ld", thousandths / 60000,
                      thousandths % 60000 / 1000, thousandths % 1000);
        return s;
    }

    const settings& s_;
    std::time_t base_ = 0;
    std::size_t index_ = 0;
    long round_ = 0;
    std::uint32_t noise_ = 1;
};

// The lines of a file, each with its own line end.
std::vector<std::string> file_lines(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

bool parse_long(const char* text, long min, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min) return false;
    out = v;
    return true;
}

bool parse_mix(const std::string& text, std::vector<kind>& mix) {
    mix.clear();
    std::istringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        bool found = false;
        for (const auto& n : kind_names)
            if (word == n.name) {
                mix.push_back(n.k);
                found = true;
            }
        if (!found) return false;
    }
    return !mix.empty();
}

bool parse_start(const char* text, std::tm& tm) {
    int dd, mm, yy, h, m, s;
    char tail;
    if (std::sscanf(text, "%2d%2d%2d,%2d%2d%2d%c", &dd, &mm, &yy, &h, &m, &s, &tail) != 6)
        return false;
    if (mm < 1 || mm > 12 || dd < 1 || dd > 31 || h > 23 || m > 59 || s > 59) return false;
    tm = {};
    tm.tm_year = yy < 80 ? yy + 100 : yy;  // as receivers read two-digit years
    tm.tm_mon = mm - 1;
    tm.tm_mday = dd;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    return true;
}

int bad_usage(const char* what) {
    std::fprintf(stderr, "gps-sim: %s\n%s", what, usage_text);
    return 2;
}

// Writes all of `bytes`, in pieces when asked; false when a signal cut it short.
bool send(int master, const std::string& bytes, long split) {
    std::size_t at = 0;
    while (at < bytes.size() && !stop) {
        std::size_t n = bytes.size() - at;
        if (split > 0 && n > static_cast<std::size_t>(split)) n = static_cast<std::size_t>(split);
        const ssize_t w = write(master, bytes.data() + at, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            std::perror("gps-sim: write");
            return false;
        }
        at += static_cast<std::size_t>(w);
        if (split > 0 && at < bytes.size()) {
            const timespec gap{0, 2'000'000};
            nanosleep(&gap, nullptr);
        }
    }
    return !stop;
}

// Waits for the reader's flush, which the master sees in packet mode (switched on before the
// port was made known).
void wait_for_reader(int master) {
    while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        unsigned char buf[256];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0 && buf[0] != TIOCPKT_DATA && (buf[0] & TIOCPKT_FLUSHREAD) != 0) break;
    }
    int off = 0;
    ioctl(master, TIOCPKT, &off);
}

// Waits until the reader has taken everything queued for it.
void wait_until_read(int slave) {
    int quiet = 0;
    while (!stop && quiet < 5) {
        int queued = 0;
        ioctl(slave, FIONREAD, &queued);
        quiet = queued == 0 ? quiet + 1 : 0;
        const timespec step{0, 10'000'000};
        nanosleep(&step, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    settings s;
    parse_start("230394,123519", s.start);
    const option long_options[] = {
        {"file", required_argument, nullptr, 'f'},  {"loop", no_argument, nullptr, 'L'},
        {"mix", required_argument, nullptr, 'm'},   {"count", required_argument, nullptr, 'n'},
        {"rate", required_argument, nullptr, 'r'},  {"burst", required_argument, nullptr, 'b'},
        {"split", required_argument, nullptr, 's'}, {"lf", no_argument, nullptr, 'e'},
        {"start", required_argument, nullptr, 't'}, {"link", required_argument, nullptr, 'l'},
        {"wait-reader", no_argument, nullptr, 'w'}, {"unplug", no_argument, nullptr, 'x'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "f:m:n:r:b:s:et:l:wxh", long_options, nullptr)) != -1) {
        switch (c) {
            case 'f':
                s.file = optarg;
                break;
            case 'L':
                s.loop = true;
                break;
            case 'm':
                if (!parse_mix(optarg, s.mix)) return bad_usage("unknown kind in --mix");
                break;
            case 'n':
                if (!parse_long(optarg, 0, s.count)) return bad_usage("bad --count");
                break;
            case 'r':
                if (!parse_long(optarg, 0, s.rate)) return bad_usage("bad --rate");
                break;
            case 'b':
                if (!parse_long(optarg, 1, s.burst)) return bad_usage("bad --burst");
                break;
            case 's':
                if (!parse_long(optarg, 1, s.split)) return bad_usage("bad --split");
                break;
            case 'e':
                s.lf = true;
                break;
            case 't':
                if (!parse_start(optarg, s.start)) return bad_usage("bad --start");
                break;
            case 'l':
                s.link = optarg;
                break;
            case 'w':
                s.wait_reader = true;
                break;
            case 'x':
                s.unplug = true;
                break;
            case 'h':
                std::fputs(usage_text, stdout);
                return 0;
            default:
                std::fputs(usage_text, stderr);
                return 2;
        }
    }
    if (optind < argc) return bad_usage("unexpected argument");

    std::vector<std::string> lines;
    if (!s.file.empty()) {
        bool ok = false;
        lines = file_lines(s.file, ok);
        if (!ok) {
            std::fprintf(stderr, "gps-sim: cannot read %s\n", s.file.c_str());
            return 1;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("gps-sim: pseudo-terminal");
        return 1;
    }
    const std::string port = ptsname(master);
    // Held open so that the port lives while no reader has it open.
    const int slave = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::perror("gps-sim: open the port");
        return 1;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    if (!s.link.empty()) {
        unlink(s.link.c_str());
        if (symlink(port.c_str(), s.link.c_str()) != 0) {
            std::perror("gps-sim: link");
            return 1;
        }
    }
    if (s.wait_reader) {
        int on = 1;
        ioctl(master, TIOCPKT, &on);
    }
    std::printf("%s\n", port.c_str());
    std::fflush(stdout);

    if (s.wait_reader) wait_for_reader(master);

    generator gen(s);
    std::size_t line = 0;
    long sent = 0;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    bool more = true;
    while (more && !stop) {
        std::string unit;
        for (long k = 0; k < s.burst && more; ++k) {
            if (s.count >= 0 && sent >= s.count) {
                more = false;
            } else if (!s.file.empty()) {
                if (line == lines.size() && s.loop && !lines.empty()) line = 0;
                if (line == lines.size()) {
                    more = false;
                } else {
                    unit += lines[line++];
                    ++sent;
                }
            } else {
                unit += gen.next();
                ++sent;
            }
        }
        if (!unit.empty() && !send(master, unit, s.split)) break;
        if (more && s.rate > 0) {
            const std::int64_t step = std::int64_t{1'000'000'000} * s.burst / s.rate;
            const std::int64_t nsec = next.tv_nsec + step % 1'000'000'000;
            next.tv_sec += static_cast<std::time_t>(step / 1'000'000'000 + nsec / 1'000'000'000);
            next.tv_nsec = static_cast<long>(nsec % 1'000'000'000);
            while (!stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) {
            }
        }
    }

    if (!stop) {
        std::printf("done\n");
        std::fflush(stdout);
        if (s.unplug)
            wait_until_read(slave);
        else
            while (!stop) {
                const timespec step{0, 100'000'000};
                nanosleep(&step, nullptr);
            }
    }
    if (!s.link.empty()) unlink(s.link.c_str());
    close(slave);
    close(master);
    return 0;
}
