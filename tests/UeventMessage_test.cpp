#include "tools/UeventMessage.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "events/UeventParser.h"

using namespace std::string_literals;
using tarnd_trigger::buildUeventMessage;
using tarnd_trigger::checkValue;
using tarnd_trigger::ValueProblem;

namespace {

const std::string kTriggerPath = std::string(TARND_BINARY_DIR) + "/tools/tarnd-trigger";

// The unprivileged user the privilege tests drop to.
constexpr uid_t kNobody = 65534;

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : mFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }

    int get() const { return mFd; }
    void reset() {
        if (mFd >= 0) close(mFd);
        mFd = -1;
    }

  private:
    int mFd;
};

// A uevent listener bound to the group the kernel and tarnd-trigger send to.
UniqueFd openUeventListener() {
    UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    EXPECT_GE(fd.get(), 0) << strerror(errno);
    sockaddr_nl address;
    memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0)
            << strerror(errno);
    return fd;
}

// Every datagram already queued on the socket. Delivery to a multicast group is
// complete when the sender's sendto returns, so nothing here needs to wait.
std::vector<std::string> drainDatagrams(int fd) {
    std::vector<std::string> datagrams;
    char buffer[8192];
    for (;;) {
        ssize_t count = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (count < 0 && errno == ENOBUFS) continue;  // kernel uevents overflowed the buffer
        if (count < 0) break;
        datagrams.emplace_back(buffer, static_cast<size_t>(count));
    }
    return datagrams;
}

struct RunResult {
    int exitStatus = -1;
    std::string standardError;
};

// Runs the built tool with the arguments, optionally as an unprivileged user,
// and collects its exit status and standard error.
RunResult runTrigger(const std::vector<std::string>& args, bool asNobody) {
    RunResult result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return result;
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kTriggerPath.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(writeEnd.get(), STDERR_FILENO);
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
        if (asNobody &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    writeEnd.reset();
    char buffer[512];
    ssize_t count;
    while ((count = read(readEnd.get(), buffer, sizeof(buffer))) > 0) {
        result.standardError.append(buffer, static_cast<size_t>(count));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

struct MessageCase {
    std::string value;
    uint64_t seqnum;
    std::string expected;
};

class UeventMessageBytesTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(UeventMessageBytesTest, FramedLikeAKernelUevent) {
    EXPECT_EQ(buildUeventMessage(GetParam().value, GetParam().seqnum), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Values, UeventMessageBytesTest,
        ::testing::Values(
                MessageCase{"gpu_hang", 42,
                            "change@/tarnd\0ACTION=change\0DEVPATH=/tarnd\0SUBSYSTEM=tarnd\0"
                            "TARND_EVENT=gpu_hang\0SEQNUM=42\0"s},
                MessageCase{"a=b c", 0,
                            "change@/tarnd\0ACTION=change\0DEVPATH=/tarnd\0SUBSYSTEM=tarnd\0"
                            "TARND_EVENT=a=b c\0SEQNUM=0\0"s},
                MessageCase{std::string(127, 'v'), UINT64_MAX,
                            "change@/tarnd\0ACTION=change\0DEVPATH=/tarnd\0SUBSYSTEM=tarnd\0"
                            "TARND_EVENT="s +
                                    std::string(127, 'v') + "\0SEQNUM=18446744073709551615\0"s}));

struct ValueCase {
    std::string value;
    ValueProblem problem;
};

class UeventValueCheckTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(UeventValueCheckTest, Classified) {
    EXPECT_EQ(checkValue(GetParam().value), GetParam().problem) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, UeventValueCheckTest,
                         ::testing::Values(ValueCase{"gpu_hang", ValueProblem::kNone},
                                           ValueCase{"x", ValueProblem::kNone},
                                           ValueCase{"with blank", ValueProblem::kNone},
                                           ValueCase{"a=b", ValueProblem::kNone},
                                           ValueCase{"\xc3\xa9t\xc3\xa9", ValueProblem::kNone},
                                           ValueCase{std::string(127, 'v'), ValueProblem::kNone},
                                           ValueCase{"", ValueProblem::kEmpty},
                                           ValueCase{std::string(128, 'v'), ValueProblem::kTooLong},
                                           ValueCase{"two\nlines", ValueProblem::kControlCharacter},
                                           ValueCase{"tab\there", ValueProblem::kControlCharacter},
                                           ValueCase{"cr\r", ValueProblem::kControlCharacter},
                                           ValueCase{"del\x7f", ValueProblem::kControlCharacter}));

// The daemon must read back exactly the value sent, whole, from within the
// bytes it receives.
TEST(UeventMessage, DaemonParserReadsTheValueBack) {
    EXPECT_EQ(tarnd_trigger::kMaxValueLength, android::kUeventValueMax);
    for (const std::string& value : {"gpu_hang"s, "a=b c"s, std::string(127, 'v')}) {
        std::string message = buildUeventMessage(value, UINT64_MAX);
        // The daemon receives at most 255 bytes of a datagram.
        EXPECT_LE(message.size(), 255u);
        EXPECT_EQ(android::parseUeventValue(message.data(), message.size()), value);
    }
}

TEST(UeventMessage, OnlyPermissionErrorsCountAsPrivilege) {
    EXPECT_TRUE(tarnd_trigger::isPrivilegeError(EPERM));
    EXPECT_TRUE(tarnd_trigger::isPrivilegeError(EACCES));
    EXPECT_FALSE(tarnd_trigger::isPrivilegeError(ENOBUFS));
    EXPECT_FALSE(tarnd_trigger::isPrivilegeError(0));
}

TEST(UeventMessage, GroupListenerReceivesTheDatagram) {
    if (geteuid() != 0) GTEST_SKIP() << "sending to the uevent group needs root";
    UniqueFd listener = openUeventListener();
    ASSERT_GE(listener.get(), 0);
    std::string message = buildUeventMessage("tarnd_test_" + std::to_string(getpid()), 7);

    ASSERT_EQ(tarnd_trigger::sendUeventMessage(message), 0);

    std::vector<std::string> received = drainDatagrams(listener.get());
    EXPECT_EQ(std::count(received.begin(), received.end(), message), 1)
            << received.size() << " datagrams received";
}

TEST(UeventMessage, SendWithoutPrivilegeIsRefused) {
    if (geteuid() != 0) {
        EXPECT_TRUE(tarnd_trigger::isPrivilegeError(
                tarnd_trigger::sendUeventMessage(buildUeventMessage("x", 1))));
        return;
    }
    // As root, try from a child that has dropped to an unprivileged user.
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
        int error = tarnd_trigger::sendUeventMessage(buildUeventMessage("x", 1));
        _exit(tarnd_trigger::isPrivilegeError(error) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "126: could not drop privileges, 1: send not refused";
}

// The built tool, end to end.
TEST(TarndTrigger, SendsTheValueToTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "sending to the uevent group needs root";
    UniqueFd listener = openUeventListener();
    ASSERT_GE(listener.get(), 0);
    std::string value = "tarnd_tool_" + std::to_string(getpid());

    RunResult run = runTrigger({value}, false);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;

    int matches = 0;
    for (const std::string& datagram : drainDatagrams(listener.get())) {
        if (android::parseUeventValue(datagram.data(), datagram.size()) == value) {
            ++matches;
            EXPECT_EQ(datagram.compare(0, 14, "change@/tarnd\0"s), 0);
        }
    }
    EXPECT_EQ(matches, 1);
}

TEST(TarndTrigger, RefusesWithoutPrivilege) {
    RunResult run = runTrigger({"gpu_hang"}, geteuid() == 0);
    EXPECT_EQ(run.exitStatus, 3) << run.standardError;
    EXPECT_NE(run.standardError.find("tarnd-trigger: not permitted to send a uevent"),
              std::string::npos)
            << run.standardError;
}

struct UsageCase {
    std::vector<std::string> args;
    std::string message;
};

class TarndTriggerUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(TarndTriggerUsageTest, RefusesBadUsage) {
    RunResult run = runTrigger(GetParam().args, false);
    EXPECT_EQ(run.exitStatus, 2) << run.standardError;
    EXPECT_NE(run.standardError.find("tarnd-trigger: " + GetParam().message), std::string::npos)
            << run.standardError;
    EXPECT_NE(run.standardError.find("usage: tarnd-trigger <value>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
        Cases, TarndTriggerUsageTest,
        ::testing::Values(UsageCase{{}, "expected exactly one value, got 0 arguments"},
                          UsageCase{{"a", "b"}, "expected exactly one value, got 2 arguments"},
                          UsageCase{{""}, "value is empty"},
                          UsageCase{{std::string(128, 'v')}, "value is longer than 127 characters"},
                          UsageCase{{"two\nlines"}, "value holds a control character"}));

}  // namespace
