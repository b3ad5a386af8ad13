// lincp-sim: the LIN co-processor on the master side of a pseudo-terminal. It answers command
// messages and sends forwarded-frame messages from a script, for tests and by hand.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t start_sequence[] = {0x7E, 0x7E, 0x7E, 0xA7};
constexpr std::uint8_t forwarded_frame_type = 7;

const char usage_text[] =
    "usage: lincp-sim [options]\n"
    "LIN co-processor stand-in on a pseudo-terminal. Once the terminal is ready it prints\n"
    "\"pty <slave path>\" on standard output, then one line per event:\n"
    "  rx <hex>       a command message received (start sequence included); a wrong\n"
    "                 checksum adds \" bad-checksum\"\n"
    "  junk <hex>     received bytes outside any command message\n"
    "  tx <hex>       bytes written to the line, one line per write\n"
    "  answer <how>   the answer changed (script command answer)\n"
    "  error <text>   a script line that could not be run\n"
    "\n"
    "Options:\n"
    "  -l, --link PATH     also offer the terminal as the symbolic link PATH (removed at exit)\n"
    "  -a, --answer HOW    answer to each command message: an error code 0-255 (default 0),\n"
    "                      \"silent\" (no answer) or \"raw:HEX\" (these bytes, e.g. raw:7e7ea7)\n"
    "  -D, --delay MS      wait this long before answering (default 50); 0 answers the moment\n"
    "                      the command's last byte is in\n"
    "  -s, --script FILE   run the script in FILE, then the lines on standard input\n"
    "  -h, --help          this text\n"
    "\n"
    "Script, one command a line (standard input too; # starts a comment; bytes in hex):\n"
    "  frame ID [DATA...] [KEY=VALUE...]  a forwarded-frame message; keys:\n"
    "      trailer=XX                     trailer byte (default 00)\n"
    "      lom=XX type=XX status=XX check=XX  replace the field (default: the right value)\n"
    "      stray=HEX                      bytes sent before the start sequence\n"
    "      split=N                        write up to body byte N, pause, then the rest\n"
    "      gap=MS                         the pause of a split (default 200)\n"
    "  raw HEX...                         these bytes as they are\n"
    "  ITEM & ITEM ...                    frame and raw items joined into one write\n"
    "  answer HOW                         answer commands from now on as with -a\n"
    "  sleep MS                           pause the script\n"
    "  quit                               end\n"
    "Ends on SIGINT, SIGTERM or quit; the end of standard input leaves it running.\n";

struct answer_kind {
    bool silent = false;
    bytes reply{0x7E, 0x7E, 0x7E, 0xA7, 0x00};
};

struct sim_state {
    int master = -1;
    int slave_keep = -1;  // keeps the terminal up while no program has it open
    std::string slave_path;
    std::string link;
    int delay_ms = 50;
    std::mutex lock;  // guards answer, writes to the line and the log
    answer_kind answer;
} sim;

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t k = 0; k < n; ++k) {
        std::snprintf(b, sizeof b, "%02x", p[k]);
        s += b;
    }
    return s;
}

void log_line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Writes to the line and logs it; callers hold the lock.
void send_locked(const bytes& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = write(sim.master, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            log_line(std::string("error write: ") + std::strerror(errno));
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    log_line("tx " + hex(b.data(), b.size()));
}

void send(const bytes& b) {
    std::lock_guard<std::mutex> g(sim.lock);
    send_locked(b);
}

// Hex: a token of one or two digits is one byte, a longer one is read in pairs.
bytes parse_hex(const std::string& token) {
    auto digit = [&](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::runtime_error("not hex: " + token);
    };
    bytes out;
    if (token.empty()) throw std::runtime_error("empty hex");
    if (token.size() <= 2) {
        int v = 0;
        for (char c : token)
            v = v * 16 + digit(c);
        out.push_back(static_cast<std::uint8_t>(v));
        return out;
    }
    if (token.size() % 2 != 0) throw std::runtime_error("odd hex length: " + token);
    for (std::size_t k = 0; k < token.size(); k += 2)
        out.push_back(static_cast<std::uint8_t>(digit(token[k]) * 16 + digit(token[k + 1])));
    return out;
}

std::uint8_t parse_byte(const std::string& token) {
    const bytes b = parse_hex(token);
    if (b.size() != 1) throw std::runtime_error("not one byte: " + token);
    return b[0];
}

int parse_int(const std::string& text) {
    std::size_t used = 0;
    const int v = std::stoi(text, &used, 10);
    if (used != text.size() || v < 0) throw std::runtime_error("not a count: " + text);
    return v;
}

answer_kind parse_answer(const std::string& how) {
    answer_kind a;
    if (how == "silent") {
        a.silent = true;
    } else if (how.rfind("raw:", 0) == 0) {
        a.reply = parse_hex(how.substr(4));
    } else {
        const int code = parse_int(how);
        if (code > 255) throw std::runtime_error("error code beyond 255: " + how);
        a.reply.back() = static_cast<std::uint8_t>(code);
    }
    return a;
}

// One item of a script line: its bytes, and where a split cuts them (if it asks for one).
struct item {
    bytes data;
    std::optional<std::size_t> split;
    int gap_ms = 200;
};

item build_frame(const std::vector<std::string>& words) {
    if (words.size() < 2) throw std::runtime_error("frame needs an identifier");
    item it;
    const std::uint8_t id = parse_byte(words[1]);
    bytes data, stray;
    std::optional<std::uint8_t> lom, type, status, check;
    std::uint8_t trailer = 0;
    std::optional<std::size_t> split;
    for (std::size_t k = 2; k < words.size(); ++k) {
        const std::string& w = words[k];
        const auto eq = w.find('=');
        if (eq == std::string::npos) {
            data.push_back(parse_byte(w));
            continue;
        }
        const std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        if (key == "trailer")
            trailer = parse_byte(value);
        else if (key == "lom")
            lom = parse_byte(value);
        else if (key == "type")
            type = parse_byte(value);
        else if (key == "status")
            status = parse_byte(value);
        else if (key == "check")
            check = parse_byte(value);
        else if (key == "stray")
            stray = parse_hex(value);
        else if (key == "split")
            split = static_cast<std::size_t>(parse_int(value));
        else if (key == "gap")
            it.gap_ms = parse_int(value);
        else
            throw std::runtime_error("unknown key: " + key);
    }
    bytes body;
    body.push_back(lom.value_or(static_cast<std::uint8_t>(data.size() + 5)));
    body.push_back(type.value_or(forwarded_frame_type));
    body.push_back(status.value_or(0));
    body.push_back(id);
    body.insert(body.end(), data.begin(), data.end());
    body.push_back(trailer);
    std::uint8_t sum = 0;
    for (std::uint8_t b : body)
        sum ^= b;
    body.push_back(check.value_or(sum));

    it.data = stray;
    it.data.insert(it.data.end(), std::begin(start_sequence), std::end(start_sequence));
    if (split) it.split = it.data.size() + std::min(*split, body.size());
    it.data.insert(it.data.end(), body.begin(), body.end());
    return it;
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// Runs one script line; false for quit.
bool run_line(std::string text) {
    if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    const auto words = words_of(text);
    if (words.empty()) return true;
    const std::string& verb = words[0];
    if (verb == "quit") return false;
    if (verb == "sleep") {
        if (words.size() != 2) throw std::runtime_error("sleep needs milliseconds");
        std::this_thread::sleep_for(std::chrono::milliseconds(parse_int(words[1])));
        return true;
    }
    if (verb == "answer") {
        if (words.size() != 2) throw std::runtime_error("answer needs a code, silent or raw:HEX");
        answer_kind a = parse_answer(words[1]);
        std::lock_guard<std::mutex> g(sim.lock);
        sim.answer = a;
        log_line("answer " + words[1]);
        return true;
    }
    // frame and raw items, joined with & into one write.
    bytes out;
    std::optional<std::size_t> split;
    int gap_ms = 200;
    std::size_t from = 0;
    while (from <= text.size()) {
        auto amp = text.find('&', from);
        if (amp == std::string::npos) amp = text.size();
        const auto w = words_of(text.substr(from, amp - from));
        from = amp + 1;
        if (w.empty()) throw std::runtime_error("empty item");
        item it;
        if (w[0] == "frame") {
            it = build_frame(w);
        } else if (w[0] == "raw") {
            for (std::size_t k = 1; k < w.size(); ++k) {
                const bytes b = parse_hex(w[k]);
                it.data.insert(it.data.end(), b.begin(), b.end());
            }
        } else {
            throw std::runtime_error("unknown command: " + w[0]);
        }
        if (it.split && !split) {
            split = out.size() + *it.split;
            gap_ms = it.gap_ms;
        }
        out.insert(out.end(), it.data.begin(), it.data.end());
    }
    if (!split || *split == 0 || *split >= out.size()) {
        send(out);
        return true;
    }
    send(bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*split)));
    std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    send(bytes(out.begin() + static_cast<std::ptrdiff_t>(*split), out.end()));
    return true;
}

// Runs the lines of a script; false once it says quit.
bool run_script(FILE* in) {
    char buf[4096];
    while (std::fgets(buf, sizeof buf, in)) {
        try {
            if (!run_line(buf)) return false;
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> g(sim.lock);
            log_line(std::string("error ") + e.what());
        }
    }
    return true;
}

// Takes the program's command messages off the line and answers each.
void serve_line() {
    bytes pending;
    std::uint8_t buf[512];
    for (;;) {
        pollfd p{sim.master, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) continue;
        const ssize_t n = read(sim.master, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pending.insert(pending.end(), buf, buf + n);
        for (;;) {
            const auto at = std::search(pending.begin(), pending.end(), std::begin(start_sequence),
                                        std::end(start_sequence));
            if (at == pending.end()) {
                // Keep what may begin a start sequence.
                if (pending.size() > 3) {
                    std::lock_guard<std::mutex> g(sim.lock);
                    log_line("junk " + hex(pending.data(), pending.size() - 3));
                    pending.erase(pending.begin(), pending.end() - 3);
                }
                break;
            }
            if (at != pending.begin()) {
                std::lock_guard<std::mutex> g(sim.lock);
                log_line("junk " +
                         hex(pending.data(), static_cast<std::size_t>(at - pending.begin())));
                pending.erase(pending.begin(), at);
            }
            if (pending.size() < 5) break;
            const std::size_t length = std::size_t{pending[4]} + 5;
            if (pending.size() < length) break;
            std::uint8_t sum = 0;
            for (std::size_t k = 4; k + 1 < length; ++k)
                sum ^= pending[k];
            const bool good = sum == pending[length - 1];
            answer_kind a;
            {
                std::lock_guard<std::mutex> g(sim.lock);
                log_line("rx " + hex(pending.data(), length) + (good ? "" : " bad-checksum"));
                a = sim.answer;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
            if (a.silent) continue;
            if (sim.delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(sim.delay_ms));
            send(a.reply);
        }
    }
}

void remove_link() {
    if (sim.link.empty()) return;
    char target[4096];
    const ssize_t n = readlink(sim.link.c_str(), target, sizeof target - 1);
    if (n > 0 && sim.slave_path == std::string(target, static_cast<std::size_t>(n)))
        unlink(sim.link.c_str());
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lincp-sim: %s\n", what.c_str());
    std::exit(1);
}

void open_terminal() {
    sim.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.master < 0 || grantpt(sim.master) != 0 || unlockpt(sim.master) != 0)
        fail(std::string("pseudo-terminal: ") + std::strerror(errno));
    sim.slave_path = ptsname(sim.master);
    sim.slave_keep = open(sim.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.slave_keep < 0) fail(sim.slave_path + ": " + std::strerror(errno));
    termios t{};
    tcgetattr(sim.slave_keep, &t);
    cfmakeraw(&t);
    tcsetattr(sim.slave_keep, TCSANOW, &t);
    if (!sim.link.empty()) {
        struct stat st {};
        if (lstat(sim.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) fail(sim.link + ": exists and is not a symbolic link");
            unlink(sim.link.c_str());
        }
        if (symlink(sim.slave_path.c_str(), sim.link.c_str()) != 0)
            fail(sim.link + ": " + std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    static const option long_options[] = {
        {"link", required_argument, nullptr, 'l'},  {"answer", required_argument, nullptr, 'a'},
        {"delay", required_argument, nullptr, 'D'}, {"script", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
    };
    std::string script;
    int c;
    try {
        while ((c = getopt_long(argc, argv, "l:a:D:s:h", long_options, nullptr)) != -1) {
            switch (c) {
                case 'l':
                    sim.link = optarg;
                    break;
                case 'a':
                    sim.answer = parse_answer(optarg);
                    break;
                case 'D':
                    sim.delay_ms = parse_int(optarg);
                    break;
                case 's':
                    script = optarg;
                    break;
                case 'h':
                    std::fputs(usage_text, stdout);
                    return 0;
                default:
                    std::fputs(usage_text, stderr);
                    return 2;
            }
        }
    } catch (const std::exception& e) {
        fail(std::string("bad option value: ") + e.what());
    }
    if (optind != argc) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    FILE* script_file = nullptr;
    if (!script.empty() && !(script_file = std::fopen(script.c_str(), "r")))
        fail(script + ": " + std::strerror(errno));

    // Signals are taken by the main thread alone, with sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    open_terminal();
    log_line("pty " + sim.slave_path);

    std::thread(serve_line).detach();
    std::thread([script_file] {
        bool go_on = true;
        if (script_file) {
            go_on = run_script(script_file);
            std::fclose(script_file);
        }
        if (go_on) go_on = run_script(stdin);
        if (!go_on) kill(getpid(), SIGTERM);
    }).detach();

    int sig = 0;
    sigwait(&stop, &sig);
    remove_link();
    std::lock_guard<std::mutex> g(sim.lock);
    std::fflush(stdout);
    _exit(0);
}
