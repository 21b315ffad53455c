#include "service/CommandRunner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <regex>

#include "TestSupport.h"

namespace {

// Each line ("@" stands for a number of this process, so that leftovers can be found) ends as
// expected within its limit, logs what it should about itself ("W:" marks a warning) and leaves
// no process, descriptor or thread behind.
TEST(CommandRunnerTest, EndsAsExpectedAndLeavesNothing) {
    const std::string kTimedOut = "W:Command timed out after 1 s, stopped: ";
    const struct {
        const char* line;
        int32_t limit;
        const char* ended;
        std::string logged;  // followed by the line
    } rows[] = {
            {"exit 3", 5, "exit 3", "Command exited with status 3: "},
            {"kill -9 $$", 0, "signal 9", "Command exited with status 137: "},
            {"test \"$TARND_X$HOME\" = 'a b/nowhere'", 5, "exit 0", ""},
            // Grandchildren in the background and in a subshell hang too: the whole group goes.
            {"sleep 600.@ & (sleep 600.@); wait", 1, "signal 15", kTimedOut},
            // The sleep inherits the ignored SIGTERM: SIGKILL ends both.
            {"trap '' TERM; sleep 600.@", 1, "signal 9", kTimedOut},
    };
    const std::string marker = "600." + std::to_string(getpid());
    const std::vector<std::string> environment = {"TARND_X=a b", "HOME=/nowhere"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const std::string line = std::regex_replace(row.line, std::regex("600\\.@"), marker);
        const android::tarnd::ShellCommand command{line.c_str(), row.limit, &environment};
        std::vector<int> fds = tarnd_test::openFds();
        tarnd_host::LogCapture log;
        int status = android::tarnd::runShellCommand(command);
        EXPECT_EQ(WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                      : "exit " + std::to_string(WEXITSTATUS(status)),
                  row.ended);
        EXPECT_EQ(tarnd_test::logText(log), row.logged.empty() ? "" : row.logged + line);
        EXPECT_FALSE(tarnd_test::processRunning(marker));
        EXPECT_EQ(tarnd_test::openFds(), fds);
        EXPECT_EQ(tarnd_test::threadsNamed("TARND Command"), 0);
    }
}

}  // namespace
