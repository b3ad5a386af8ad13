// run-cost [-n RUNS] COMMAND...: runs COMMAND RUNS times (default 1), one after the other, and
// prints on standard error what the runs cost their own processes, start and exit included
// (the runs' own output goes where run-cost's goes):
//   run I ns T                          (one line a run)
//   runs R failed F ns N user_us U system_us S median_ns M
// T is a process's run time in nanoseconds (the scheduler's account, read from
// /proc/PID/schedstat once the process has exited and before it is reaped), N their sum and M
// their median (of an even count, the lower middle one); U and S are the sum of wait4's user
// and system times. F counts the runs that did not exit with status 0. At most 1000 runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The first field of /proc/PID/schedstat, or -1.
long long run_time_ns(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    long long ns = -1;
    if (std::fscanf(f, "%lld", &ns) != 1) ns = -1;
    std::fclose(f);
    return ns;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    long runs = 1;
    if (argc > 2 && std::strcmp(argv[1], "-n") == 0) {
        runs = std::strtol(argv[2], nullptr, 10);
        first = 3;
    }
    static std::array<long long, 1000> each;
    if (first >= argc || runs < 1 || runs > static_cast<long>(each.size())) {
        std::fprintf(stderr, "usage: run-cost [-n RUNS] COMMAND...\n");
        return 2;
    }
    long failed = 0;
    long long ns = 0, user_us = 0, system_us = 0;
    for (long i = 0; i < runs; ++i) {
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        if (pid == 0) {
            execvp(argv[first], argv + first);
            std::perror(argv[first]);
            _exit(127);
        }
        // Exited but not reaped: its account is still there to read.
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
            if (errno != EINTR) {
                std::perror("waitid");
                return 1;
            }
        }
        const long long t = run_time_ns(pid);
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid) {
            std::perror("wait4");
            return 1;
        }
        if (t < 0) {
            std::fprintf(stderr, "run-cost: no schedstat for %d\n", static_cast<int>(pid));
            return 1;
        }
        ns += t;
        each[static_cast<std::size_t>(i)] = t;
        std::fprintf(stderr, "run %ld ns %lld\n", i + 1, t);
        user_us += static_cast<long long>(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec;
        system_us +=
            static_cast<long long>(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    const auto end = each.begin() + runs;
    const auto middle = each.begin() + (runs - 1) / 2;
    std::nth_element(each.begin(), middle, end);
    std::fprintf(stderr, "runs %ld failed %ld ns %lld user_us %lld system_us %lld median_ns %lld\n",
                 runs, failed, ns, user_us, system_us, *middle);
    return 0;
}
