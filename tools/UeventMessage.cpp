#include "tools/UeventMessage.h"

#include <errno.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/UniqueFd.h"

namespace tarnd_trigger {

namespace {

// The group the kernel multicasts its uevents to, and the daemon listens on.
constexpr uint32_t kUeventGroup = 1;

void appendString(std::string* message, const std::string& text) {
    message->append(text);
    message->push_back('\0');
}

}  // namespace

ValueProblem checkValue(const std::string& value) {
    if (value.empty()) return ValueProblem::kEmpty;
    if (value.size() > kMaxValueLength) return ValueProblem::kTooLong;
    for (char c : value) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return ValueProblem::kControlCharacter;
    }
    return ValueProblem::kNone;
}

std::string describeProblem(ValueProblem problem) {
    switch (problem) {
        case ValueProblem::kNone:
            return "value is valid";
        case ValueProblem::kEmpty:
            return "value is empty";
        case ValueProblem::kTooLong:
            return "value is longer than " + std::to_string(kMaxValueLength) + " characters";
        case ValueProblem::kControlCharacter:
            return "value holds a control character (newline, tab, ...)";
    }
    return "value is invalid";
}

std::string buildUeventMessage(const std::string& value, uint64_t seqnum) {
    std::string message;
    appendString(&message, "change@/tarnd");
    appendString(&message, "ACTION=change");
    appendString(&message, "DEVPATH=/tarnd");
    appendString(&message, "SUBSYSTEM=tarnd");
    appendString(&message, "TARND_EVENT=" + value);
    appendString(&message, "SEQNUM=" + std::to_string(seqnum));
    return message;
}

std::string buildCustomUevent(const std::string& action, const std::string& devpath,
                              const std::vector<std::string>& variables, uint64_t seqnum) {
    std::string message;
    appendString(&message, action + "@" + devpath);
    appendString(&message, "ACTION=" + action);
    appendString(&message, "DEVPATH=" + devpath);
    for (const std::string& variable : variables) appendString(&message, variable);
    appendString(&message, "SEQNUM=" + std::to_string(seqnum));
    return message;
}

int sendUeventMessage(const std::string& message) {
    android::tarnd::UniqueFd fd(
            socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (fd.get() < 0) return errno;

    sockaddr_nl destination;
    memset(&destination, 0, sizeof(destination));
    destination.nl_family = AF_NETLINK;
    destination.nl_pid = 0;
    destination.nl_groups = kUeventGroup;

    ssize_t sent = sendto(fd.get(), message.data(), message.size(), 0,
                          reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
    if (sent < 0) return errno;
    // A datagram goes whole or not at all; anything else is a kernel we do not understand.
    if (static_cast<size_t>(sent) != message.size()) return EIO;
    return 0;
}

bool isPrivilegeError(int error) { return error == EPERM || error == EACCES; }

}  // namespace tarnd_trigger
