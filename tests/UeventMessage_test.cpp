#include "tools/UeventMessage.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/wait.h>

#include "TestSupport.h"
#include "base/UniqueFd.h"
#include "events/MonitorThread.h"
#include "events/UeventParser.h"

using namespace std::string_literals;
using tarnd_trigger::ValueProblem;

static const std::string kHead = "change@/tarnd\0ACTION=change\0DEVPATH=/tarnd\0SUBSYSTEM=tarnd\0"s;

// Runs the built tool with one argument, as nobody when asked: its exit status and standard
// error. The tool (and an emulator) run from copies in a directory that anybody may search: the
// build tree may lie where nobody cannot reach it (a checkout under /root).
static std::pair<int, std::string> runTrigger(const std::string& arg, bool asNobody) {
    tarnd_test::ScratchDir dir;
    EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string command = asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
    for (const std::string& path :
         {TARND_TOOL_EMULATOR ""s, TARND_BINARY_DIR "/tools/tarnd-trigger"s}) {
        if (path.empty()) continue;
        const std::string copy = dir.file(path.substr(path.rfind('/') + 1));
        tarnd_test::writeFile(copy, tarnd_test::readFile(path));
        EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
        command += " " + copy;
    }
    const int status = system((command + " " + arg + " 2>" + dir.file("stderr")).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tarnd_test::readFile(dir.file("stderr"))};
}

TEST(UeventMessageTest, DatagramFraming) {
    EXPECT_EQ(tarnd_trigger::buildUeventMessage("a=b c", UINT64_MAX),
              kHead + "TARND_EVENT=a=b c\0SEQNUM=18446744073709551615\0"s);
}

TEST(UeventMessageTest, ValueChecks) {
    const std::pair<std::string, ValueProblem> rows[] = {
            {"with blank=x", ValueProblem::kNone},
            {std::string(127, 'v'), ValueProblem::kNone},
            {std::string(128, 'v'), ValueProblem::kTooLong},
            {"", ValueProblem::kEmpty},
            {"two\nlines", ValueProblem::kControlCharacter},
            {"del\x7f", ValueProblem::kControlCharacter}};
    for (const auto& [value, problem] : rows) EXPECT_EQ(tarnd_trigger::checkValue(value), problem);
}

// Without the privilege (root runs it as nobody) the tool says so and exits with 3.
TEST(UeventMessageTest, TriggerRefusesWithoutPrivilege) {
    const auto [refused, standardError] = runTrigger("gpu_hang", tarnd_test::isRoot());
    EXPECT_EQ(refused, 3) << standardError;
    EXPECT_NE(standardError.find("tarnd-trigger: not permitted to send a uevent"),
              std::string::npos);
}

// With the privilege the group gets the framed value, once. The listener's buffer is forced
// large, as the daemon's: bursts of other processes' uevents would overflow the default one, and
// when one did all the same (ENOBUFS), the tool sends again. The delivery is complete when the
// tool's sendto returns, so nothing waits.
TEST(UeventMessageTest, TriggerSendsWithPrivilege) {
    if (!tarnd_test::hasNetAdmin())
        GTEST_SKIP() << "sending to the uevent group needs CAP_NET_ADMIN";
    android::tarnd::UniqueFd listener(
            socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    int size = android::tarnd::MonitorThread::kUeventRcvBuf;
    if (setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    const sockaddr_nl group = {AF_NETLINK, 0, 0, 1};
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&group), sizeof(group)), 0);
    const std::string value = "tarnd_tool_" + std::to_string(getpid());
    std::vector<std::string> ours;  // without their sequence numbers
    char buf[8192];
    for (int sends = 0, lost = 1; lost && ours.empty() && sends++ < 5;) {
        ASSERT_EQ(runTrigger(value, false).first, 0);
        lost = 0;
        for (ssize_t n;
             (n = recv(listener.get(), buf, sizeof(buf), MSG_DONTWAIT)) >= 0 || errno == ENOBUFS;) {
            const std::string datagram(buf, n > 0 ? n : 0);
            lost |= n < 0;
            if (android::tarnd::parseUeventValue(buf, datagram.size()) == value)
                ours.push_back(datagram.substr(0, datagram.find("SEQNUM=")));
        }
    }
    EXPECT_EQ(ours, std::vector<std::string>{kHead + "TARND_EVENT=" + value + "\0"s});
}
