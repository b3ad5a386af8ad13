// Starts a program that ignores SIGTERM (a sleep), prints its process ID and waits to be
// killed: the tie-down test kills it as CTest kills a test that timed out.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/process.hpp"

int main() {
    support::spawn_options o;
    o.args = {"/bin/sleep", "600"};
    o.ignored_signals = {SIGTERM};
    support::process started(o);
    std::printf("%d\n", static_cast<int>(started.pid()));
    std::fflush(stdout);
    for (;;)
        pause();
}
