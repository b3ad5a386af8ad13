#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include "tests/support/paths.hpp"

extern char** environ;

namespace support {

std::string program(std::string_view name) {
    return std::string(bin_dir) + "/" + std::string(name);
}
std::string tool(std::string_view name) {
    return std::string(boardsim_dir) + "/" + std::string(name);
}

exit_status exited(int code) {
    return {true, code, 0};
}
exit_status killed_by(int signal) {
    return {false, -1, signal};
}

void PrintTo(const exit_status& s, std::ostream* os) {
    if (s.exited)
        *os << "exit status " << s.code;
    else
        *os << "killed by signal " << s.signal << " (" << strsignal(s.signal) << ")";
}

std::vector<std::string> board_environment(const std::string& board) {
    std::string preload = std::string(boardsim_dir) + "/libboardsim.so";
    if (asan_runtime[0] != '\0') preload = std::string(asan_runtime) + ":" + preload;
    return {"BOARDSIM_DIR=" + board, "LD_PRELOAD=" + preload};
}

std::vector<std::string> hold_environment(std::string_view point, int ms, const std::string& mark) {
    std::vector<std::string> env = {
        "LD_PRELOAD=" + std::string(bin_dir) + "/../tests/libgw_hold.so",
        "GW_HOLD=" + std::string(point), "GW_HOLD_MS=" + std::to_string(ms),
        "GW_HOLD_MARK=" + mark};
    // The sanitizers intercept the same calls: the hold goes in front of their runtime.
    if (asan_runtime[0] != '\0') {
        env[0] += ":" + std::string(asan_runtime);
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return env;
}

std::vector<std::string> fail_environment(const std::string& board, std::string_view call) {
    const std::string fail = std::string(bin_dir) + "/../tests/libgw_fail.so";
    std::vector<std::string> env;
    if (board.empty()) {
        std::string preload = fail;
        if (asan_runtime[0] != '\0') preload = std::string(asan_runtime) + ":" + preload;
        env.push_back("LD_PRELOAD=" + preload);
    } else {
        env = board_environment(board);
        env[1] += ":" + fail;
    }
    env.push_back("GW_FAIL=" + std::string(call));
    return env;
}

namespace {

void set_env(std::vector<std::string>& env, const std::string& entry) {
    const auto key = entry.substr(0, entry.find('=') + 1);
    for (auto& e : env)
        if (e.compare(0, key.size(), key) == 0) {
            e = entry;
            return;
        }
    env.push_back(entry);
}

}  // namespace

process::process(const spawn_options& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    if (!options.board.empty())
        for (const auto& e : board_environment(options.board))
            set_env(env, e);
    for (const auto& e : options.env)
        set_env(env, e);

        // Memcheck runs the native, uninstrumented programs only: not a cross build's (its tests
        // run under qemu-user) nor an AddressSanitizer build's.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
    const bool memcheck = !options.memcheck_log.empty();
#else
    const bool memcheck = false;
#endif
    std::vector<std::string> args = options.args;
    if (memcheck)
        args.insert(args.begin(), {"/usr/bin/valgrind", "-q", "--tool=memcheck",
                                   "--error-exitcode=" + std::to_string(memcheck_status),
                                   "--log-file=" + options.memcheck_log});
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    if (!options.argv0.empty()) argv[0] = const_cast<char*>(options.argv0.c_str());
    argv.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int in[2] = {-1, -1}, out[2], err[2];
    if ((options.stdin_pipe && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    const pid_t test = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Tied to the test's life: killed with it, also when it dies without its destructors
        // (a CTest time-out, a crash), and whatever signals the program ignores.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != test) _exit(127);  // the test died before the tie was made
        const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(options.stdin_pipe ? in[0] : null_fd, 0);
        dup2(out[1], 1);
        if (!options.stdout_file.empty()) {
            const int to =
                open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (to >= 0) dup2(to, 1);
        }
        dup2(err[1], 2);
        if (options.stdin_closed) ::close(0);
        // Memcheck looks at nfds / 8 bytes of an fd_set: with descriptors 3 to 8 taken (as a
        // parent may leave them open), what the program opens is 9 or above, and a set left
        // uninitialised shows.
        if (memcheck)
            for (int fd = 3; fd <= 8; ++fd) {
                if (fd == null_fd)
                    fcntl(fd, F_SETFD, 0);  // kept across the exec
                else
                    dup2(null_fd, fd);
            }
        // A fresh process group, so that a signal to the test does not reach the program.
        if (options.new_session)
            setsid();
        else
            setpgid(0, 0);
        for (int sig = 1; sig < NSIG; ++sig)
            ::signal(sig, SIG_DFL);
        for (int sig : options.ignored_signals)
            ::signal(sig, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int sig : options.blocked_signals)
            sigaddset(&blocked, sig);
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        if (options.open_files > 0) {
            const rlimit limit{static_cast<rlim_t>(options.open_files),
                               static_cast<rlim_t>(options.open_files)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execve(args[0].c_str(), argv.data(), envp.data());
        dprintf(2, "exec %s: %s\n", args[0].c_str(), strerror(errno));
        _exit(127);
    }
    if (options.stdin_pipe) {
        ::close(in[0]);
        in_ = in[1];
    }
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

process::~process() {
    // Still running: its whole process group, so that what it started goes with it (the group
    // is surely ours while the program is not reaped).
    if (!status_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        reap(true);
    }
    for (int fd : {in_, out_fd_, err_fd_})
        if (fd >= 0) ::close(fd);
}

void process::signal(int sig) const {
    kill(pid_, sig);
}

void process::write_stdin(std::string_view data) const {
    while (!data.empty()) {
        ssize_t n = ::write(in_, data.data(), data.size());
        if (n <= 0) return;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void process::close_stdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

bool process::pump(duration timeout) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_fds = (out_fd_ >= 0) + (err_fd_ >= 0);
    if (open_fds == 0) return false;
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? out_fd_ : err_fd_;
        std::string& text = i == 0 ? out_ : err_;
        if (fd < 0 || fds[i].revents == 0) continue;
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        if (n == 0) {
            ::close(fd);
            fd = -1;
        }
    }
    return true;
}

bool process::reap(bool block) {
    if (status_) return true;
    int st = 0;
    pid_t r;
    do
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    status_ = WIFEXITED(st) ? exited(WEXITSTATUS(st)) : killed_by(WTERMSIG(st));
    return true;
}

bool process::running() {
    pump(0ms);
    return !reap(false);
}

bool process::wait_output(stream s, std::string_view text, duration timeout, std::size_t from) {
    const auto deadline = clock::now() + timeout;
    const std::string& buf = s == stream::out ? out_ : err_;
    for (;;) {
        if (buf.size() > from && buf.find(text, from) != std::string::npos) return true;
        const auto left = std::chrono::duration_cast<duration>(deadline - clock::now());
        if (left <= 0ms) return false;
        if (reap(false)) {
            // Take what the process wrote before it ended.
            while (pump(20ms) && (out_fd_ >= 0 || err_fd_ >= 0) && clock::now() < deadline) {
            }
            return buf.size() > from && buf.find(text, from) != std::string::npos;
        }
        pump(std::min(left, duration(20)));
    }
}

std::optional<exit_status> process::wait(duration timeout) {
    const auto deadline = clock::now() + timeout;
    while (!reap(false)) {
        const auto left = std::chrono::duration_cast<duration>(deadline - clock::now());
        if (left <= 0ms) return std::nullopt;
        pump(std::min(left, duration(20)));
    }
    // Drain the pipes; a child the program left behind may hold them open, so bound it.
    const auto drain_deadline = clock::now() + 500ms;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && clock::now() < drain_deadline)
        pump(20ms);
    return status_;
}

result run(const spawn_options& options, duration timeout) {
    process p(options);
    auto st = p.wait(timeout);
    if (!st) {
        p.signal(SIGKILL);
        st = p.wait(5s);
    }
    return {st.value_or(exit_status{}), p.out(), p.err()};
}

result run(std::vector<std::string> args, duration timeout) {
    spawn_options o;
    o.args = std::move(args);
    return run(o, timeout);
}

}  // namespace support
