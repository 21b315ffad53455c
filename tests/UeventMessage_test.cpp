#include "tools/UeventMessage.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "TestSupport.h"
#include "events/UeventParser.h"
#include "base/UniqueFd.h"

using namespace std::string_literals;
using tarnd_trigger::ValueProblem;

namespace {

// A copy of an executable in dir, which anybody may search: the build tree may lie where an
// unprivileged user cannot reach it (a checkout under /root).
std::string reachableCopy(const tarnd_test::TempDir& dir, const std::string& path) {
    std::string copy = dir.file(path.substr(path.rfind('/') + 1));
    tarnd_test::writeFile(copy, tarnd_test::readFile(path));
    EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
    return copy;
}

// Runs the built tool with one argument, as an unprivileged user when asked: its exit status and
// standard error.
std::pair<int, std::string> runTrigger(const std::string& arg, bool asNobody) {
    tarnd_test::TempDir dir;
    EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string tool = reachableCopy(dir, TARND_BINARY_DIR "/tools/tarnd-trigger");
    std::string emulator = TARND_TOOL_EMULATOR;
    if (!emulator.empty()) emulator = reachableCopy(dir, emulator);
    std::string errPath = dir.file("stderr");
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (err < 0 || dup2(err, STDERR_FILENO) < 0) _exit(125);
        // 65534: nobody.
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        if (!emulator.empty()) {
            execl(emulator.c_str(), emulator.c_str(), tool.c_str(), arg.c_str(),
                  static_cast<char*>(nullptr));
        } else {
            execl(tool.c_str(), tool.c_str(), arg.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tarnd_test::readFile(errPath)};
}

TEST(UeventMessageTest, DatagramIsFramedLikeAKernelUevent) {
    const std::string kHead = "change@/tarnd\0ACTION=change\0DEVPATH=/tarnd\0SUBSYSTEM=tarnd\0"s;
    EXPECT_EQ(tarnd_trigger::buildUeventMessage("gpu_hang", 42),
              kHead + "TARND_EVENT=gpu_hang\0SEQNUM=42\0"s);
    EXPECT_EQ(tarnd_trigger::buildUeventMessage("a=b c", UINT64_MAX),
              kHead + "TARND_EVENT=a=b c\0SEQNUM=18446744073709551615\0"s);
}

TEST(UeventMessageTest, ValueChecks) {
    const std::pair<std::string, ValueProblem> rows[] = {
            {"gpu_hang", ValueProblem::kNone},
            {"with blank=x", ValueProblem::kNone},
            {std::string(127, 'v'), ValueProblem::kNone},
            {std::string(128, 'v'), ValueProblem::kTooLong},
            {"", ValueProblem::kEmpty},
            {"two\nlines", ValueProblem::kControlCharacter},
            {"del\x7f", ValueProblem::kControlCharacter}};
    for (const auto& [value, problem] : rows) {
        EXPECT_EQ(tarnd_trigger::checkValue(value), problem) << value;
    }
}

TEST(UeventMessageTest, TriggerSendsTheValueToTheUeventGroup) {
    if (!tarnd_test::hasNetAdmin())
        GTEST_SKIP() << "sending to the uevent group needs CAP_NET_ADMIN";
    android::UniqueFd listener(
            socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    ASSERT_GE(listener.get(), 0) << strerror(errno);
    sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
              0);
    std::string value = "tarnd_tool_" + std::to_string(getpid());

    auto [status, standardError] = runTrigger(value, false);
    ASSERT_EQ(status, 0) << standardError;

    // Delivery is complete when the sender's sendto returns, so nothing here waits.
    int matches = 0;
    char buffer[8192];
    for (ssize_t n; (n = recv(listener.get(), buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0 ||
                    errno == ENOBUFS;) {
        if (n < 0) continue;  // kernel uevents overflowed the buffer
        std::string datagram(buffer, static_cast<size_t>(n));
        if (android::parseUeventValue(datagram.data(), datagram.size()) != value) continue;
        ++matches;
        EXPECT_EQ(datagram.compare(0, 14, "change@/tarnd\0"s), 0);
    }
    EXPECT_EQ(matches, 1);
}

TEST(UeventMessageTest, TriggerRefusesWithoutPrivilege) {
    // As root, the tool runs as an unprivileged user.
    auto [status, standardError] = runTrigger("gpu_hang", geteuid() == 0);
    EXPECT_EQ(status, 3) << standardError;
    EXPECT_NE(standardError.find("tarnd-trigger: not permitted to send a uevent"),
              std::string::npos)
            << standardError;
}

}  // namespace
