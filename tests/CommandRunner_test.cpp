#include "service/CommandRunner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "TestSupport.h"

namespace {

const std::string kTimedOut = "W:Command timed out after 1 s, stopped: ";

// A line ("@" stands for a number of this process, so that leftovers can be found), its limit,
// how it ends and what it logs about itself ("W:" marks a warning), followed by the line.
using Row = std::tuple<const char*, const char*, int32_t, const char*, std::string>;
const Row kRows[] = {
        {"ExitStatusLogged", "exit 3", 5, "exit 3", "Command exited with status 3: "},
        {"SignalWithoutLimit", "kill -9 $$", 0, "signal 9", "Command exited with status 137: "},
        {"EnvironmentAdded", "test \"$TARND_X$HOME\" = 'a b/nowhere'", 5, "exit 0", ""},
        // Grandchildren in the background and in a subshell hang too: the whole group goes.
        {"HungGroupStopped", "sleep 600.@ & (sleep 600.@); wait", 1, "signal 15", kTimedOut},
        // The sleep inherits the ignored SIGTERM: SIGKILL ends both.
        {"IgnoredTermKilled", "trap '' TERM; sleep 600.@", 1, "signal 9", kTimedOut},
};

class CommandRunnerTest : public ::testing::TestWithParam<Row> {};

// Each line ends as expected within its limit, logs what it should and leaves no process,
// descriptor or thread behind. After a SIGKILL the runner returns once the shell is reaped, when
// the rest of the group may not have run its exit yet: the leftover checks wait for a while.
TEST_P(CommandRunnerTest, Run) {
    const auto& [name, rowLine, limit, ended, logged] = GetParam();
    const std::string marker = "600." + std::to_string(getpid());
    const std::string line = tarnd_test::replaceAll(rowLine, "600.@", marker);
    const std::vector<std::string> environment = {"TARND_X=a b", "HOME=/nowhere"};
    android::tarnd::ShellCommand command;
    std::tie(command.line, command.timeoutSeconds, command.environment) =
            std::make_tuple(line.c_str(), limit, &environment);
    const std::vector<int> fds = tarnd_test::openFds();
    tarnd_host::LogCapture log;
    const int status = android::tarnd::runShellCommand(command);
    EXPECT_EQ(WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                  : "exit " + std::to_string(WEXITSTATUS(status)),
              ended);
    EXPECT_EQ(tarnd_test::logText(log), logged.empty() ? "" : logged + line);
    EXPECT_TRUE(tarnd_test::processGone(marker));
    EXPECT_EQ(tarnd_test::openFds(), fds);
    EXPECT_TRUE(tarnd_test::threadGone("TARND Command"));
}
TARND_NAMED_ROWS(CommandRunnerTest, kRows);

}  // namespace
