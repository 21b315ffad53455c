#include <fcntl.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <sys/syscall.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <regex>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

// Runs fn with standard error sent to a file and returns what was written.
template <typename F>
std::string captureStderr(F fn) {
    tarnd_test::TempDir dir;
    int fd = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    return tarnd_test::readFile(dir.file("stderr"));
}

std::string pad5(long v) {
    std::string s = std::to_string(v);
    return std::string(s.size() < 5 ? 5 - s.size() : 0, ' ') + s;
}

}  // namespace

TEST(LogTest, ThreadtimeLayoutOneLinePerMessageLineAndCapture) {
    tarnd_host::LogCapture log;
    std::string out = captureStderr([] {
        __android_log_print(ANDROID_LOG_DEBUG, "TarnDebugService", "Start parsing config");
        __android_log_print(ANDROID_LOG_WARN, "TarnDebugService", "first\nsecond %d", 2);
    });
    std::string ids = " " + pad5(getpid()) + " " + pad5(syscall(SYS_gettid)) + " ";
    std::string head = R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d)" + ids;
    std::regex expected(head + "D TarnDebugService: Start parsing config\n" + head +
                        "W TarnDebugService: first\n" + head + "W TarnDebugService: second 2\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(lines[1].msg, "first\nsecond 2");
}

TEST(LogTest, LinesOfConcurrentThreadsNeverInterleave) {
    std::string out = captureStderr([] {
        std::vector<std::thread> threads;
        for (char c : {'a', 'b', 'c', 'd'}) {
            threads.emplace_back([c] {
                std::string text(300, c);
                for (int i = 0; i < 200; ++i)
                    __android_log_print(ANDROID_LOG_DEBUG, "T", "%s", text.c_str());
            });
        }
        for (auto& th : threads) th.join();
    });
    std::regex line(R"(.{18} +\d+ +\d+ D T: (a{300}|b{300}|c{300}|d{300})\n)");
    size_t lines = 0;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        ASSERT_TRUE(std::regex_match(out.substr(start, end - start + 1), line));
        ++lines;
    }
    EXPECT_EQ(lines, 800u);
}
