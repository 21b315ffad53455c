#include "service/CommandRunner.h"

#include <android/log.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// A line ("@" stands for a number of this process, so that leftovers can be found), its limit,
// its exit code or the signal that ended it, and what it logs ("W:" for a warning).
struct RunCase {
    const char* line;
    int32_t limit;
    int exitCode;
    int signal;
    const char* logged;
};

const RunCase kRuns[] = {
        {"exit 0", 0, 0, 0, ""},
        {"exit 3", 5, 3, 0, "Command exited with status 3: exit 3"},
        {"kill -9 $$", 0, 0, SIGKILL, "Command exited with status 137: kill -9 $$"},
        {"test \"$TARND_X$HOME\" = 'a b/nowhere'", 5, 0, 0, ""},
        {"sleep 600.@", 1, 0, SIGTERM, "W:Command timed out after 1 s, stopped: sleep 600.@"},
        // Grandchildren in the background and in a subshell hang too: the whole group goes.
        {"sleep 600.@ & (sleep 600.@); wait", 1, 0, SIGTERM,
         "W:Command timed out after 1 s, stopped: sleep 600.@ & (sleep 600.@); wait"},
        // The sleep inherits the ignored SIGTERM: SIGKILL ends both.
        {"trap '' TERM; sleep 600.@", 1, 0, SIGKILL,
         "W:Command timed out after 1 s, stopped: trap '' TERM; sleep 600.@"},
};

class CommandRunnerTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(CommandRunnerTest, EndsAsExpectedAndLeavesNothing) {
    const RunCase& c = GetParam();
    const std::string marker = "600." + std::to_string(getpid());
    const std::string line = std::regex_replace(c.line, std::regex("600\\.@"), marker);
    const std::vector<std::string> environment = {"TARND_X=a b", "HOME=/nowhere"};
    android::tarnd::ShellCommand command;
    command.line = line.c_str();
    command.timeoutSeconds = c.limit;
    command.environment = &environment;
    std::vector<int> fds = tarnd_test::openFds();
    tarnd_host::LogCapture log;
    int status = android::tarnd::runShellCommand(command);

    if (c.signal != 0) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status;
    }
    std::vector<std::string> logged;
    for (const tarnd_host::LogLine& l : log.lines())
        logged.push_back((l.prio == ANDROID_LOG_WARN ? "W:" : "") + l.msg);
    std::string expected = std::regex_replace(c.logged, std::regex("600\\.@"), marker);
    EXPECT_EQ(logged, expected.empty() ? std::vector<std::string>{} : std::vector{expected});
    EXPECT_FALSE(tarnd_test::processRunning(marker));
    EXPECT_EQ(tarnd_test::openFds(), fds);
    EXPECT_EQ(tarnd_test::threadsNamed("TARND Command"), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandRunnerTest, ::testing::ValuesIn(kRuns));

}  // namespace
