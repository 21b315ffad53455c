#include "service/StatusDump.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace android::tarnd {

namespace {

const char* const kSourceNames[kTriggerSources] = {"uevent", "kernel log", "Android log", "binder"};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    if (n < 0) return std::string();
    return std::string(buffer, std::min(static_cast<size_t>(n), sizeof(buffer) - 1));
}

std::string utc(time_t when) {
    struct tm tm;
    char text[32];
    if (gmtime_r(&when, &tm) == nullptr || strftime(text, sizeof(text), "%F %T UTC", &tm) == 0) {
        return "?";
    }
    return text;
}

std::string megabytes(int64_t bytes) {
    return bytes < 0 ? std::string("unknown") : format("%" PRId64 " MB", bytes >> 20);
}

void state(const StatusSnapshot& s, std::string* out) {
    out->append(format("State: %s, up %" PRId64 " s\n", s.running ? "running" : "stopped",
                       s.uptimeSeconds));
    out->append("Configuration:\n");
    for (const std::string& line : s.report) out->append("  " + line + "\n");
}

void events(const StatusSnapshot& s, std::string* out) {
    out->append("Events:\n");
    for (const auto& entry : s.stats.events) {
        const EventStats& e = entry.second;
        out->append(format("  %s: %" PRIu64 " dumps", entry.first.c_str(), e.dumps));
        if (e.dumps > 0) {
            out->append(", last " + e.lastDir + " at " + utc(e.lastTime));
        }
        out->append("\n    triggers:");
        for (size_t i = 0; i < kTriggerSources; ++i) {
            out->append(format(" %s %" PRIu64 "%s", kSourceNames[i], e.triggers[i],
                               i + 1 < kTriggerSources ? "," : "\n"));
        }
        out->append(format("    skipped: once %" PRIu64 ", interval %" PRIu64 ", space %" PRIu64
                           "\n",
                           e.skippedOnce, e.skippedInterval, e.skippedSpace));
        out->append(format("    commands stopped: time limit %" PRIu64 ", space limit %" PRIu64
                           "\n",
                           e.timedOut, e.spaceStopped));
    }
}

void losses(const StatusSnapshot& s, std::string* out) {
    out->append("Losses:\n");
    out->append(format("  kernel log records lost: %" PRIu64 "\n", s.stats.kmsgLost));
    out->append(format("  uevents dropped from untrusted senders: %" PRIu64 "\n",
                       s.stats.ueventsUntrusted));
    out->append(format("  uevent socket overruns: %" PRIu64 "\n", s.stats.ueventOverruns));
}

void space(const StatusSnapshot& s, std::string* out) {
    out->append("Space:\n");
    out->append("  dump area: " + megabytes(s.areaBytes) +
                format(" of at most %d MB\n", s.maxDumpSpaceMB));
    out->append("  free on the data partition: " + megabytes(s.freeBytes) +
                format(", at least %d MB kept\n", s.minFreeSpaceMB));
}

void dumps(const StatusSnapshot& s, std::string* out) {
    out->append("Dump directories, newest first:\n");
    for (const auto& dir : s.dumpDirs) {
        out->append(format("  %s %" PRId64 " bytes\n", dir.first.c_str(), dir.second));
    }
}

void history(const StatusSnapshot& s, std::string* out) {
    out->append(format("History, last %zu dumps:\n", kStatusHistoryShown));
    size_t first =
            s.history.size() > kStatusHistoryShown ? s.history.size() - kStatusHistoryShown : 0;
    for (size_t i = first; i < s.history.size(); ++i) {
        out->append("  " + s.history[i].first + " " + s.history[i].second + "\n");
    }
}

using Section = void (*)(const StatusSnapshot&, std::string*);
constexpr Section kSections[] = {state, events, losses, space, dumps, history};
static_assert(sizeof(kSections) / sizeof(kSections[0]) ==
                      sizeof(kStatusSections) / sizeof(kStatusSections[0]),
              "one writer per section name");

}  // namespace

std::string statusUsage() {
    std::string usage =
            "Usage: dumpsys <service> [--help | SECTION]\n"
            "  --help: this text\n"
            "  SECTION: only that part of the status, one of:";
    for (const char* name : kStatusSections) usage.append(" ").append(name);
    return usage + "\n";
}

std::string formatStatus(const StatusSnapshot& snapshot, const std::vector<std::string>& args) {
    std::string out;
    const size_t count = sizeof(kSections) / sizeof(kSections[0]);
    if (args.empty()) {
        for (size_t i = 0; i < count; ++i) kSections[i](snapshot, &out);
        return out;
    }
    for (size_t i = 0; i < count && args.size() == 1; ++i) {
        if (args[0] == kStatusSections[i]) {
            kSections[i](snapshot, &out);
            return out;
        }
    }
    if (args[0] != "--help" && args[0] != "-h") out = "Unknown arguments: " + args[0] + "\n";
    return out + statusUsage();
}

}  // namespace android::tarnd
