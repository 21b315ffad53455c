// tarnd-trigger: sends one uevent carrying TARND_EVENT=<value> to the uevent multicast group, so
// that the uevent route of tarnd can be tried without a driver change; or, with --uevent, a uevent
// shaped like a driver's own (a DRM error, a device coredump), to try the configured matches; or,
// with --send, an event handed to the published service over binder.
//
// Exit status: 0 sent, 1 the send failed (or the service refused it), 2 bad usage, 3 not
// privileged to send.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "tools/ServiceClient.h"
#include "tools/UeventMessage.h"

namespace {

constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotPermitted = 3;

void printUsage(FILE* out) {
    fprintf(out,
            "usage: tarnd-trigger <value>\n"
            "       tarnd-trigger --uevent <action> <devpath> [KEY=VALUE ...]\n"
            "       tarnd-trigger --send <event> [<service name, tarnd unless given>]\n"
            "Sends a uevent carrying TARND_EVENT=<value> to the uevent multicast group.\n"
            "<value>: 1 to %zu printable characters, matched by tarnd against the uevent hints.\n"
            "With --uevent: a uevent <action>@<devpath> with ACTION, DEVPATH and the given\n"
            "variables, for example: --uevent add /devices/virtual/devcoredump/devcd1 "
            "SUBSYSTEM=devcoredump\n"
            "The uevent routes need root or CAP_NET_ADMIN.\n"
            "With --send: the event handed to the published service through binder, as root,\n"
            "system, shell or a uid the service allows.\n",
            tarnd_trigger::kMaxValueLength);
}

// The --send route: the event through the service manager, with the service's answer printed.
int sendThroughService(const char* event, const char* service) {
    android::status_t status = android::tarnd::sendEventTo(service, event);
    if (status == android::NAME_NOT_FOUND) {
        fprintf(stderr, "tarnd-trigger: no service %s is published\n", service);
        return kExitFailed;
    }
    printf("tarnd-trigger: %s answered %d for %s\n", service, status, event);
    if (status == android::PERMISSION_DENIED) return kExitNotPermitted;
    return status == android::NO_ERROR ? kExitSent : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printUsage(stdout);
        return kExitSent;
    }
    if (argc >= 2 && strcmp(argv[1], "--send") == 0) {
        if (argc < 3 || argc > 4 || argv[2][0] == '\0') {
            fprintf(stderr, "tarnd-trigger: --send needs an event name\n");
            printUsage(stderr);
            return kExitUsage;
        }
        return sendThroughService(argv[2], argc == 4 ? argv[3] : "tarnd");
    }
    // Listeners ignore SEQNUM; a clock value keeps it growing from one run to the next.
    const uint64_t seqnum = static_cast<uint64_t>(time(nullptr));
    std::string message;
    std::string shown;
    if (argc >= 2 && strcmp(argv[1], "--uevent") == 0) {
        if (argc < 4 || argv[2][0] == '\0' || argv[3][0] != '/') {
            fprintf(stderr, "tarnd-trigger: --uevent needs an action and a device path (/...)\n");
            printUsage(stderr);
            return kExitUsage;
        }
        std::vector<std::string> variables;
        for (int i = 4; i < argc; ++i) {
            if (strchr(argv[i], '=') == nullptr || argv[i][0] == '=') {
                fprintf(stderr, "tarnd-trigger: not a KEY=VALUE variable: %s\n", argv[i]);
                return kExitUsage;
            }
            variables.push_back(argv[i]);
        }
        message = tarnd_trigger::buildCustomUevent(argv[2], argv[3], variables, seqnum);
        shown = std::string(argv[2]) + "@" + argv[3];
    } else if (argc != 2) {
        fprintf(stderr, "tarnd-trigger: expected exactly one value, got %d arguments\n", argc - 1);
        printUsage(stderr);
        return kExitUsage;
    } else {
        const std::string value(argv[1]);
        tarnd_trigger::ValueProblem problem = tarnd_trigger::checkValue(value);
        if (problem != tarnd_trigger::ValueProblem::kNone) {
            fprintf(stderr, "tarnd-trigger: %s\n", tarnd_trigger::describeProblem(problem).c_str());
            printUsage(stderr);
            return kExitUsage;
        }
        message = tarnd_trigger::buildUeventMessage(value, seqnum);
        shown = "TARND_EVENT=" + value;
    }

    int error = tarnd_trigger::sendUeventMessage(message);
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
    printf("tarnd-trigger: sent %s\n", shown.c_str());
    return kExitSent;
}
