// tarnd-check's core: a configuration file read by the daemon's own parser into the daemon's own
// records, without running a command, then searched for what the daemon would do quietly.
#pragma once

#include <string>
#include <vector>

namespace android::tarnd {

// Exit statuses of the checker.
constexpr int kCheckClean = 0;
constexpr int kCheckWarnings = 1;
constexpr int kCheckNoWatch = 2;  // the daemon would watch for no event with this file
constexpr int kCheckUsage = 64;

/// What a check found, ready to print in this order.
struct ConfigCheckResult {
    // The lines of the start-up report the daemon logs between its two hyphen lines; none when
    // the daemon would not get that far.
    std::vector<std::string> report;
    // One line each: "FILE:LINE: warning: TEXT" or "FILE:LINE: error: TEXT".
    std::vector<std::string> findings;
    int status = kCheckClean;
};

// Reads path as the daemon reads its configuration at start-up, additional file included. The
// parser's own messages go to the log as the daemon's do.
ConfigCheckResult checkConfig(const char* path);

}  // namespace android::tarnd
