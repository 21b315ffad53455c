// tarnd-trigger: sends one uevent carrying TARND_EVENT=<value> to the uevent multicast group, so
// that the uevent route of tarnd can be tried without a driver change.
//
// Exit status: 0 sent, 1 the send failed, 2 bad usage, 3 not privileged to send.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "tools/UeventMessage.h"

namespace {

constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotPermitted = 3;

void printUsage(FILE* out) {
    fprintf(out,
            "usage: tarnd-trigger <value>\n"
            "Sends a uevent carrying TARND_EVENT=<value> to the uevent multicast group.\n"
            "<value>: 1 to %zu printable characters, matched by tarnd against the uevent hints.\n"
            "Needs root or CAP_NET_ADMIN.\n",
            tarnd_trigger::kMaxValueLength);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printUsage(stdout);
        return kExitSent;
    }
    if (argc != 2) {
        fprintf(stderr, "tarnd-trigger: expected exactly one value, got %d arguments\n", argc - 1);
        printUsage(stderr);
        return kExitUsage;
    }

    const std::string value(argv[1]);
    tarnd_trigger::ValueProblem problem = tarnd_trigger::checkValue(value);
    if (problem != tarnd_trigger::ValueProblem::kNone) {
        fprintf(stderr, "tarnd-trigger: %s\n", tarnd_trigger::describeProblem(problem));
        printUsage(stderr);
        return kExitUsage;
    }

    // Listeners ignore SEQNUM; a clock value keeps it growing from one run to the next.
    const uint64_t seqnum = static_cast<uint64_t>(time(nullptr));
    int error = tarnd_trigger::sendUeventMessage(tarnd_trigger::buildUeventMessage(value, seqnum));
    if (error != 0) {
        if (tarnd_trigger::isPrivilegeError(error)) {
            fprintf(stderr,
                    "tarnd-trigger: not permitted to send a uevent (%s); run it as root or with "
                    "CAP_NET_ADMIN (and, on a device, in an SELinux domain allowed to)\n",
                    strerror(error));
            return kExitNotPermitted;
        }
        fprintf(stderr, "tarnd-trigger: cannot send the uevent: %s\n", strerror(error));
        return kExitFailed;
    }
    printf("tarnd-trigger: sent TARND_EVENT=%s\n", value.c_str());
    return kExitSent;
}
