#include "service/StatusDump.h"

#include <inttypes.h>
#include <time.h>
#include <utils/String8.h>

namespace android::tarnd {

namespace {

const char* const kSourceNames[kTriggerSources] = {"uevent", "kernel log", "Android log", "binder"};

std::string utc(time_t when) {
    struct tm tm;
    char text[32];
    if (gmtime_r(&when, &tm) == nullptr || strftime(text, sizeof(text), "%F %T UTC", &tm) == 0) {
        return "?";
    }
    return text;
}

void megabytes(int64_t bytes, String8* out) {
    if (bytes < 0) {
        out->append("unknown");
    } else {
        out->appendFormat("%" PRId64 " MB", bytes >> 20);
    }
}

void state(const StatusSnapshot& s, String8* out) {
    out->appendFormat("State: %s, up %" PRId64 " s\nConfiguration:\n",
                      s.running ? "running" : "stopped", s.uptimeSeconds);
    for (const std::string& line : s.report) out->appendFormat("  %s\n", line.c_str());
}

void events(const StatusSnapshot& s, String8* out) {
    out->append("Events:\n");
    for (const auto& [name, e] : s.stats.events) {
        out->appendFormat("  %s: %" PRIu64 " dumps", name.c_str(), e.dumps);
        if (e.dumps > 0) {
            out->appendFormat(", last %s at %s", e.lastDir.c_str(), utc(e.lastTime).c_str());
        }
        out->append("\n    triggers:");
        for (size_t i = 0; i < kTriggerSources; ++i) {
            out->appendFormat(" %s %" PRIu64 "%s", kSourceNames[i], e.triggers[i],
                              i + 1 < kTriggerSources ? "," : "\n");
        }
        out->appendFormat(
                "    skipped: once %" PRIu64 ", interval %" PRIu64 ", space %" PRIu64
                "\n    commands stopped: time limit %" PRIu64 ", space limit %" PRIu64 "\n",
                e.skippedOnce, e.skippedInterval, e.skippedSpace, e.timedOut, e.spaceStopped);
    }
}

void losses(const StatusSnapshot& s, String8* out) {
    out->appendFormat("Losses:\n  kernel log records lost: %" PRIu64
                      "\n  uevents dropped from untrusted senders: %" PRIu64
                      "\n  uevent socket overruns: %" PRIu64 "\n",
                      s.stats.kmsgLost, s.stats.ueventsUntrusted, s.stats.ueventOverruns);
}

void space(const StatusSnapshot& s, String8* out) {
    out->append("Space:\n  dump area: ");
    megabytes(s.areaBytes, out);
    out->appendFormat(" of at most %d MB\n  free on the data partition: ", s.maxDumpSpaceMB);
    megabytes(s.freeBytes, out);
    out->appendFormat(", at least %d MB kept\n", s.minFreeSpaceMB);
}

void dumps(const StatusSnapshot& s, String8* out) {
    out->append("Dump directories, newest first:\n");
    for (const auto& [name, size] : s.dumpDirs) {
        out->appendFormat("  %s %" PRId64 " bytes\n", name.c_str(), size);
    }
}

void history(const StatusSnapshot& s, String8* out) {
    out->appendFormat("History, last %zu dumps:\n", kStatusHistoryShown);
    size_t first =
            s.history.size() > kStatusHistoryShown ? s.history.size() - kStatusHistoryShown : 0;
    for (size_t i = first; i < s.history.size(); ++i) {
        out->appendFormat("  %s %s\n", s.history[i].first.c_str(), s.history[i].second.c_str());
    }
}

using Section = void (*)(const StatusSnapshot&, String8*);
constexpr Section kSections[] = {state, events, losses, space, dumps, history};
constexpr size_t kSectionCount = sizeof(kSections) / sizeof(kSections[0]);
static_assert(kSectionCount == sizeof(kStatusSections) / sizeof(kStatusSections[0]),
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
    String8 out;
    for (size_t i = 0; i < kSectionCount; ++i) {
        if (args.empty() || (args.size() == 1 && args[0] == kStatusSections[i])) {
            kSections[i](snapshot, &out);
        }
    }
    if (!args.empty() && out.isEmpty()) {
        if (args[0] != "--help" && args[0] != "-h") {
            out.appendFormat("Unknown arguments: %s\n", args[0].c_str());
        }
        out.append(statusUsage().c_str());
    }
    return std::string(out.string(), out.length());
}

}  // namespace android::tarnd
