#include <fcntl.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

// Runs fn with standard error sent to a file and returns what was written.
template <typename F>
std::string captureStderr(F fn) {
    TempDir dir;
    std::string path = dir.file("stderr");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    return tarnd_test::readFile(path);
}

}  // namespace

TEST(LogTest, ThreadtimeLayoutOneLinePerMessageLine) {
    std::string out = captureStderr([] {
        __android_log_print(ANDROID_LOG_DEBUG, "TarnDebugService", "Start parsing config");
        __android_log_print(ANDROID_LOG_WARN, "Tag", "first\nsecond");
        __android_log_print(ANDROID_LOG_ERROR, "E", "%s %d", "value", 7);
    });
    std::string pid = std::to_string(getpid());
    std::string tid = std::to_string(syscall(SYS_gettid));
    std::string head = R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d )";
    std::string ids = std::string(" {0,4}") + pid + " {1,5}" + tid + " ";
    std::regex expected(head + ids + "D TarnDebugService: Start parsing config\n" + head + ids +
                        "W Tag: first\n" + head + ids + "W Tag: second\n" + head + ids +
                        "E E: value 7\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
    // PID and TID are right-aligned in five columns.
    auto pad = [](const std::string& s) {
        return std::string(s.size() < 5 ? 5 - s.size() : 0, ' ') + s;
    };
    EXPECT_EQ(out.substr(18, 13), " " + pad(pid) + " " + pad(tid) + " ") << out;
}

TEST(LogTest, CaptureSeesPriorityTagAndMessage) {
    LogCapture log;
    __android_log_print(ANDROID_LOG_WARN, "TarnDebugService", "No enough space, %d", 3);
    __android_log_print(ANDROID_LOG_DEBUG, "other", "not ours");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(lines[0].tag, "TarnDebugService");
    EXPECT_EQ(lines[0].msg, "No enough space, 3");
    EXPECT_EQ(log.lines(nullptr).size(), 2u);
}

TEST(LogTest, LinesOfConcurrentThreadsNeverInterleave) {
    std::string out = captureStderr([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                std::string long_text(300, static_cast<char>('a' + t));
                for (int i = 0; i < 200; ++i) {
                    __android_log_print(ANDROID_LOG_DEBUG, "T", "%s", long_text.c_str());
                }
            });
        }
        for (auto& th : threads) th.join();
    });
    std::regex line(R"(.{18} +\d+ +\d+ D T: (a{300}|b{300}|c{300}|d{300}))");
    size_t start = 0;
    int count = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string l = out.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(l, line)) << l;
        ++count;
        start = end + 1;
    }
    EXPECT_EQ(count, 800);
}
