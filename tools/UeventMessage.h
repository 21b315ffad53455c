// The uevent that tarnd-trigger sends: built by a pure function so that its bytes can be checked
// without a socket, and sent by a second one that reports the kernel's answer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "events/UeventLimits.h"

namespace tarnd_trigger {

/// Longest value sent: the daemon compares at most this many characters with its hints, so a
/// longer value could never match as written.
constexpr size_t kMaxValueLength = android::tarnd::kUeventValueMax;

/// What is wrong with a value given on the command line, if anything.
enum class ValueProblem {
    kNone,
    kEmpty,
    kTooLong,
    kControlCharacter,  // newlines and the like cannot appear in a configured hint
};

ValueProblem checkValue(const std::string& value);

// One line for the user, without a trailing newline.
std::string describeProblem(ValueProblem problem);

/// The datagram for one TARND_EVENT value, as the kernel would frame it: the header
/// "change@/tarnd", then ACTION, DEVPATH, SUBSYSTEM, TARND_EVENT and SEQNUM strings, each
/// followed by a zero byte. The value is not checked here.
std::string buildUeventMessage(const std::string& value, uint64_t seqnum);

/// A uevent of any shape, as a driver's own would be framed: the header "<action>@<devpath>",
/// ACTION, DEVPATH, then each KEY=VALUE string as given, then SEQNUM.
std::string buildCustomUevent(const std::string& action, const std::string& devpath,
                              const std::vector<std::string>& variables, uint64_t seqnum);

/// Sends the datagram to the uevent multicast group (group 1, destination port 0).
/// Returns 0, or the errno of the step that failed.
int sendUeventMessage(const std::string& message);

/// Whether an errno from sendUeventMessage means that the caller lacks the privilege.
bool isPrivilegeError(int error);

}  // namespace tarnd_trigger
