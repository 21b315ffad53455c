// The live status that dumpsys prints: built from a snapshot by a pure function, so that its
// layout is tested without binder, files or threads.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "service/ServiceStats.h"

namespace android::tarnd {

/// Everything the status shows, copied out under the service's lock.
struct StatusSnapshot {
    bool running = false;
    int64_t uptimeSeconds = 0;
    std::vector<std::string> report;  // the configuration report as start-up logged it
    ServiceStats stats;
    int64_t areaBytes = -1;  // the dump area's size; -1: unknown
    int32_t maxDumpSpaceMB = 0;
    int64_t freeBytes = -1;  // free space of the data partition; -1: unknown
    int32_t minFreeSpaceMB = 0;
    std::vector<std::pair<std::string, int64_t>> dumpDirs;     // newest first, with their sizes
    std::vector<std::pair<std::string, std::string>> history;  // event and directory, oldest first
};

// The sections dumpsys can ask for one at a time.
constexpr const char* kStatusSections[] = {"state", "events", "losses",
                                           "space", "dumps",  "history"};
// Dumps of the history shown, the newest.
constexpr size_t kStatusHistoryShown = 20;

// The whole status, or only the named section; an unknown argument gets the usage.
std::string formatStatus(const StatusSnapshot& snapshot, const std::vector<std::string>& args);
// What "dumpsys NAME --help" prints.
std::string statusUsage();

}  // namespace android::tarnd
