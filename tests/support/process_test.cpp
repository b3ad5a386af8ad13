// What a test starts ends with the test, also when the test is killed before its destructors run.
#include "tests/support/process.hpp"

#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/board.hpp"
#include "tests/support/paths.hpp"

namespace {

using namespace support;

// Running, or stopped: anything but gone or a zombie that waits for its new parent.
bool alive(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(") ");
    return end != std::string::npos && stat[end + 2] != 'Z' && stat[end + 2] != 'X';
}

TEST(Process, WhatATestStartedEndsWithIt) {
    for (int sig : {SIGKILL, SIGTERM}) {  // a time-out's kill; a test that dies of a signal
        spawn_options o;
        o.args = {std::string(bin_dir) + "/../tests/holder"};
        process test(o);
        ASSERT_TRUE(test.wait_output(stream::out, "\n", 5s)) << test.err();
        const pid_t started = std::stoi(test.out());
        ASSERT_TRUE(alive(started));
        test.signal(sig);
        EXPECT_EQ(test.wait(5s), killed_by(sig));
        EXPECT_TRUE(eventually([&] { return !alive(started); }, 5s)) << strsignal(sig);
        if (alive(started)) kill(started, SIGKILL);  // a failed tie leaves nothing either
    }
}

}  // namespace
