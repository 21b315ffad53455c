#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace android::tarnd {

/// One shell command line as the service runs it.
struct ShellCommand {
    const char* line = nullptr;
    // Seconds the run may take; 0 or less: no limit.
    int32_t timeoutSeconds = 0;
    // NAME=VALUE strings added to the command's environment; null for none.
    const std::vector<std::string>* environment = nullptr;
    // Open directory the command starts in; -1: the daemon's own working directory. The child
    // changes into it, so the daemon's working directory never moves.
    int directoryFd = -1;
    // Size that any one file the command writes may reach; 0: no bound of its own.
    uint64_t fileSizeLimit = 0;
    // Asked every kWatchIntervalMs while the command runs; true stops its process group as the
    // time limit does, without that limit's log line. Null: nothing is watched.
    std::function<bool()> stopWhen;
    // Set to true when the time limit stopped the run; null: nobody asks.
    bool* timedOut = nullptr;
};

constexpr int64_t kWatchIntervalMs = 250;

// Every shell command of the service goes through one of these, so that tests and the checker
// can put their own in its place. The result is what system() returns.
using CommandRunner = std::function<int(const ShellCommand&)>;

// Runs the line with the shell, as system() does, in the command's directory.
int runShellCommand(const ShellCommand& command);

}  // namespace android::tarnd
