#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace android {
namespace tarnd {

/// One shell command line as the service runs it.
struct ShellCommand {
    const char* line = nullptr;
    // Seconds the run may take; 0 or less: no limit.
    int32_t timeoutSeconds = 0;
    // NAME=VALUE strings added to the command's environment; null for none.
    const std::vector<std::string>* environment = nullptr;
};

// Every shell command of the service goes through one of these, so that tests and the checker
// can put their own in its place. The result is what system() returns.
using CommandRunner = std::function<int(const ShellCommand&)>;

// Runs the line with the shell in the current working directory, as system() does.
int runShellCommand(const ShellCommand& command);

}  // namespace tarnd
}  // namespace android
