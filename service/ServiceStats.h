// What the daemon has done since it started, as dumpsys shows it. The workers write the counters
// and binder threads read them, so the service keeps them under one lock.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <map>
#include <string>

namespace android::tarnd {

/// Where a trigger of an event came from.
enum class TriggerSource { kUevent, kKmsg, kLogcat, kBinder };
constexpr size_t kTriggerSources = 4;

/// What became of one event's triggers.
struct EventStats {
    uint64_t dumps = 0;
    std::string lastDir;  // the last dump's directory, without its path
    time_t lastTime = 0;  // when that dump was made
    uint64_t triggers[kTriggerSources] = {};
    uint64_t skippedOnce = 0;
    uint64_t skippedInterval = 0;
    uint64_t skippedSpace = 0;
    uint64_t timedOut = 0;      // commands stopped by their time limit
    uint64_t spaceStopped = 0;  // commands stopped by the space limit
};

/// The counters of the whole daemon.
struct ServiceStats {
    // One entry per configured event, made at start-up: names from outside add none.
    std::map<std::string, EventStats> events;
    uint64_t kmsgLost = 0;          // kernel records overwritten before they were read
    uint64_t ueventsUntrusted = 0;  // uevents dropped because of their sender
    uint64_t ueventOverruns = 0;    // times the uevent socket's buffer overflowed
};

}  // namespace android::tarnd
