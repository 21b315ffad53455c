// A running service under load: four writers push 10,000 event names into the internal channel
// through every path the daemon has (binder calls, sendEvent, the detectors' send path) while the
// monitor thread dumps the known ones.

#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <stdlib.h>
#include <tarnd_host/LogStore.h>
#include <tarnd_host/ZelRecorder.h>
#include <time.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "detectors/SendMatchedEvents.h"
#include "service/ITarnDebugService.h"
#include "service/TarnDebugService.h"

using android::ITarnDebugService;
using android::Parcel;
using android::sp;
using android::String16;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_host::LogLine;
using tarnd_test::TempDir;

namespace {

// Every writer makes the same number of steps; every kKnownEvery-th step sends a configured
// event, which costs a dump (two shell commands, tens of milliseconds where process creation is
// slow), the other steps are cheap: an unknown name is refused after the space scan, and a
// detector text without a key word sends nothing. Binder and sendEvent writers send a name at
// every step, the detector writers at known steps only.
constexpr size_t kTotalNames = 10000;
constexpr int kKnownPerWriter = 125;
constexpr size_t kKnownNames = 4 * kKnownPerWriter;
constexpr int kSteps = (kTotalNames - 2 * kKnownPerWriter) / 2;
constexpr int kKnownEvery = kSteps / kKnownPerWriter;
static_assert(kKnownEvery * kKnownPerWriter == kSteps, "known steps spread evenly");

// Long enough for the sanitizer builds; the test is not about speed.
constexpr auto kDrainWait = std::chrono::seconds(240);

const char* const kEvents[] = {"load_gpu_hang", "load_vpu_hang", "load_fence_timeout",
                               "load_ring_stall", "load_page_fault"};
constexpr size_t kEventCount = sizeof(kEvents) / sizeof(kEvents[0]);

// No key word occurs inside another or inside the texts that should match nothing.
std::string keyWord(size_t event) { return "LOADKW_" + std::string(1, 'A' + event) + "_HIT"; }

// 5 March 2025, 07:08:09 UTC.
time_t fixedTime(time_t* out) {
    time_t t = 1741158489;
    if (out != nullptr) *out = t;
    return t;
}

enum Writer { kBinder = 0, kSendEvent = 1, kKmsg = 2, kLogcat = 3, kWriterCount = 4 };

// What one step of one writer sends: a name for the first two writers, a text for the detectors.
struct Step {
    std::string payload;
    std::string name;  // the event name this step puts into the channel; empty: none
    bool known;
};

std::vector<Step> plan(int writer) {
    std::vector<Step> steps;
    steps.reserve(kSteps);
    for (int i = 0; i < kSteps; ++i) {
        bool known = i % kKnownEvery == 0;
        size_t event = static_cast<size_t>(writer + i / kKnownEvery) % kEventCount;
        Step step;
        step.known = known;
        switch (writer) {
            case kBinder:
            case kSendEvent:
                step.name = known ? kEvents[event]
                                  : "bogus_" + std::to_string(writer) + "_" + std::to_string(i);
                step.payload = step.name;
                break;
            case kKmsg:
                // A record as /dev/kmsg hands it out: header, text, a continuation line.
                step.payload = "4," + std::to_string(1000 + i) + "," + std::to_string(5000 * i) +
                               ",-;gpu: " + (known ? keyWord(event) : "ring idle") +
                               "\n SUBSYSTEM=drm\n";
                if (known) step.name = kEvents[event];
                break;
            case kLogcat:
                step.payload = std::string("fence wait ") + (known ? keyWord(event) : "completed") +
                               " on ring " + std::to_string(i % 4);
                if (known) step.name = kEvents[event];
                break;
        }
        steps.push_back(step);
    }
    return steps;
}

std::string configFor(const TempDir& dir) {
    std::string text = "global.log_dump_path=" + dir.file("dumps") +
                       "\n"
                       "global.max_dump_count=100000\n"
                       "global.max_dump_space=100000\n"
                       "global.min_free_space=1\n"
                       "global.logcat_grep=0\n"
                       "global.kmsg_grep=0\n"
                       "handler.note.dump=echo x > f\n"
                       "handler.note.on=1\n"
                       "handler.note.level=0\n";
    for (size_t e = 0; e < kEventCount; ++e) {
        text += std::string("event.") + kEvents[e] + ".key_word=" + keyWord(e) + "\n";
        text += std::string("event.") + kEvents[e] + ".handler.note.on=1\n";
    }
    text += "monitor.load.enable=1\n";
    for (size_t e = 0; e < kEventCount; ++e) {
        text += std::string("monitor.load.event=") + kEvents[e] + "\n";
    }
    std::string path = dir.file("tarndebug.conf");
    tarnd_test::writeFile(path, text);
    return path;
}

// Whether message starts with prefix; if so, rest gets what follows it.
bool after(const std::string& message, const std::string& prefix, std::string* rest) {
    if (message.compare(0, prefix.size(), prefix) != 0) return false;
    *rest = message.substr(prefix.size());
    return true;
}

// The daemon's own threads by name: sanitizer runtimes start helper threads of their own when
// the first thread is created, so the whole list would differ for reasons not ours.
std::vector<std::string> daemonThreads() {
    std::vector<std::string> names;
    for (const std::string& name : tarnd_test::threadNames()) {
        if (name.compare(0, 6, "TARND ") == 0) names.push_back(name);
    }
    return names;
}

/// Keeps tens of thousands of lines off standard error while it lives.
class QuietLog {
  public:
    QuietLog() { tarnd_host::LogStore::instance().setEcho(false); }
    ~QuietLog() { tarnd_host::LogStore::instance().setEcho(true); }
};

TEST(LoadTest, TenThousandNamesFromFourWritersWhileDumping) {
    TempDir dir;
    const std::string dumps = dir.file("dumps");
    std::string config = configFor(dir);
    std::vector<Step> steps[kWriterCount];
    for (int w = 0; w < kWriterCount; ++w) steps[w] = plan(w);

    // What the channel should carry, by sender kind.
    std::map<std::string, int> sentByCall;      // binder and sendEvent: known and unknown names
    std::map<std::string, int> sentByDetector;  // detectors: known names only
    std::map<std::string, int> knownSent;
    std::set<std::string> unknownSent;
    size_t names = 0;
    for (int w = 0; w < kWriterCount; ++w) {
        for (const Step& step : steps[w]) {
            if (step.name.empty()) continue;
            ++names;
            (w == kBinder || w == kSendEvent ? sentByCall : sentByDetector)[step.name]++;
            if (step.known) {
                knownSent[step.name]++;
            } else {
                unknownSent.insert(step.name);
            }
        }
    }
    ASSERT_EQ(names, kTotalNames);
    ASSERT_EQ(unknownSent.size(), kTotalNames - kKnownNames);
    // The first name shows the monitor thread ready; the last, sent once every writer is done,
    // shows the channel drained. Both are refused.
    const std::string first = "load_warmup";
    const std::string last = "load_drained";
    for (const std::string& name : {first, last}) {
        sentByCall[name]++;
        unknownSent.insert(name);
    }

    const std::vector<std::string> threadsBefore = daemonThreads();
    const std::vector<int> fdsBefore = tarnd_test::openFds();
    QuietLog quiet;
    LogCapture log;
    uint64_t start = tarnd_test::logPosition();
    tarnd_host::ZelCapture zel;
    std::atomic<int> badReplies{0};
    std::atomic<int> badStatuses{0};
    std::vector<TarnDebugService::HistoryEntry> history;
    std::map<std::string, int> dumpCounts;
    std::vector<int> fdsLoaded, fdsRunning;
    std::vector<std::string> threadsLoaded, threadsRunning;
    std::vector<LogLine> lines;
    {
        sp<TarnDebugService> service = tarnd_test::makeService(config, dir.path());
        ASSERT_EQ(service->mStopped, 0) << "the service did not start";
        ASSERT_NE(service->mKeywordMatcher, nullptr);
        // Only the monitor and the collector run: the writers stand in for the detectors.
        EXPECT_EQ(tarnd_test::threadsNamed("TARND Monitor"), 1);
        EXPECT_EQ(tarnd_test::threadsNamed("TARND LogGC"), 1);
        EXPECT_EQ(tarnd_test::threadsNamed("TARND Logcat De"), 0);
        EXPECT_EQ(tarnd_test::threadsNamed("TARND Kmsg Dete"), 0);
        // One directory per event: the scan that every name costs stays small however long the
        // run takes.
        service->mTime = fixedTime;
        ASSERT_EQ(service->sendEvent(String8(first.c_str())), android::NO_ERROR);
        ASSERT_TRUE(tarnd_test::waitForMessage(start, "Invalid event received, " + first));
        threadsRunning = daemonThreads();
        fdsRunning = tarnd_test::openFds();

        std::promise<void> go;
        std::shared_future<void> ready = go.get_future().share();
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriterCount; ++w) {
            writers.emplace_back([&, w] {
                ready.wait();
                for (const Step& step : steps[w]) {
                    switch (w) {
                        case kBinder: {
                            Parcel data, reply;
                            data.writeInterfaceToken(ITarnDebugService::descriptor);
                            data.writeString16(String16(step.payload.c_str()));
                            if (service->transact(ITarnDebugService::SEND_EVENT, data, &reply) !=
                                android::NO_ERROR) {
                                ++badStatuses;
                            }
                            reply.setDataPosition(0);
                            if (reply.readInt32() != android::NO_ERROR) ++badReplies;
                            break;
                        }
                        case kSendEvent:
                            if (service->sendEvent(String8(step.payload.c_str())) !=
                                android::NO_ERROR) {
                                ++badStatuses;
                            }
                            break;
                        default:
                            android::sendMatchedEvents(service.get(), step.payload.c_str());
                            break;
                    }
                }
            });
        }
        go.set_value();
        for (std::thread& w : writers) w.join();
        ASSERT_EQ(service->sendEvent(String8(last.c_str())), android::NO_ERROR);
        ASSERT_TRUE(
                tarnd_test::waitForMessage(start, "Invalid event received, " + last, kDrainWait))
                << "the channel was not drained";

        // The monitor thread logged the last refusal after every earlier dump had finished, and
        // the log's lock orders its writes before these reads.
        for (size_t i = 0; i < service->mHistory.size(); ++i) {
            history.push_back(service->mHistory[i]);
        }
        for (size_t i = 0; i < service->mEvents.size(); ++i) {
            dumpCounts[service->mEvents[i].mName.string()] = service->mEvents[i].mDumpCount;
        }
        threadsLoaded = daemonThreads();
        // Up to here: the service's destruction logs lines of its own.
        lines = log.lines();
        fdsLoaded = tarnd_test::openFds();
    }
    EXPECT_EQ(badStatuses.load(), 0);
    EXPECT_EQ(badReplies.load(), 0);

    // The service's threads and descriptors: the same after the load as before it, and all gone
    // with the service.
    EXPECT_EQ(threadsLoaded, threadsRunning);
    EXPECT_EQ(fdsLoaded, fdsRunning);
    EXPECT_EQ(threadsBefore, std::vector<std::string>());
    EXPECT_EQ(threadsRunning, (std::vector<std::string>{"TARND LogGC", "TARND Monitor"}));
    EXPECT_EQ(daemonThreads(), threadsBefore);
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);

    std::map<std::string, int> loggedByCall, loggedByDetector, invalid, dumped;
    std::vector<std::string> dumpPaths, errors;
    size_t scans = 0;
    int largestReceive = 0;  // names queued behind a dump arrive together
    for (const LogLine& line : lines) {
        const std::string& m = line.msg;
        std::string rest;
        if (line.prio >= ANDROID_LOG_ERROR) errors.push_back(m);
        if (after(m, "Send msg from channel 1: ", &rest)) {
            loggedByDetector[rest]++;
        } else if (after(m, "Send event ", &rest)) {
            const std::string tail = " thru tarnd service";
            ASSERT_GT(rest.size(), tail.size()) << m;
            loggedByCall[rest.substr(0, rest.size() - tail.size())]++;
        } else if (after(m, "Invalid event received, ", &rest)) {
            invalid[rest]++;
        } else if (after(m, "Dump event ", &rest)) {
            size_t to = rest.find(" to ");
            ASSERT_NE(to, std::string::npos) << m;
            dumped[rest.substr(0, to)]++;
            dumpPaths.push_back(rest.substr(to + 4));
        } else if (m.compare(0, 5, "free=") == 0) {
            ++scans;
        } else if (after(m, "Receive internal event: ", &rest)) {
            size_t at = rest.rfind(", mMsgSize: ");
            if (at != std::string::npos) {
                largestReceive = std::max(largestReceive, atoi(rest.c_str() + at + 12));
            }
        }
    }
    EXPECT_EQ(errors, std::vector<std::string>());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const LogLine& l) {
                                return l.msg.compare(0, 19, "Drop internal event") == 0;
                            }),
              0);

    // Every name was sent once by its writer and reached the dump procedure once, whole: a
    // merged or a split name would show as an unknown name nobody sent, a lost one as a
    // missing refusal or dump.
    EXPECT_EQ(loggedByCall, sentByCall);
    EXPECT_EQ(loggedByDetector, sentByDetector);
    EXPECT_EQ(scans, kTotalNames + 2);
    std::map<std::string, int> invalidExpected;
    for (const std::string& name : unknownSent) invalidExpected[name] = 1;
    EXPECT_EQ(invalid.size(), invalidExpected.size());
    for (const auto& entry : invalid) {
        auto it = invalidExpected.find(entry.first);
        if (it == invalidExpected.end()) {
            ADD_FAILURE() << "refused a name nobody sent: \"" << entry.first << "\"";
        } else {
            EXPECT_EQ(entry.second, 1) << entry.first;
        }
    }
    for (const auto& entry : invalidExpected) {
        EXPECT_EQ(invalid.count(entry.first), 1u) << "never refused: " << entry.first;
    }

    // Every known name was dumped once per send: one log line, one count, one history entry,
    // one report to libzel.
    EXPECT_EQ(dumped, knownSent);
    EXPECT_EQ(dumpCounts, knownSent);
    std::map<std::string, int> historyCounts;
    for (const TarnDebugService::HistoryEntry& entry : history) {
        historyCounts[entry.mEventName.string()]++;
    }
    EXPECT_EQ(historyCounts, knownSent);
    ASSERT_EQ(history.size(), kKnownNames);
    std::vector<tarnd_host::ZelCall> calls = zel.calls();
    ASSERT_EQ(calls.size(), kKnownNames);
    ASSERT_EQ(dumpPaths.size(), kKnownNames);

    // Dumps in the same second share a directory; each holds the handler's file, and every
    // directory under the root belongs to a dump.
    std::set<std::string> dirs;
    for (size_t i = 0; i < kKnownNames; ++i) {
        const std::string event = history[i].mEventName.string();
        const std::string dirName = history[i].mDumpDirName.string();
        const std::string path = dumps + "/" + dirName + "/";
        EXPECT_EQ(dirName, event + "_20250305_070809");
        EXPECT_EQ(dumpPaths[i], path);
        EXPECT_EQ(calls[i].event, event);
        EXPECT_EQ(calls[i].fileList, path + "f;");
        dirs.insert(dirName);
    }
    EXPECT_EQ(tarnd_test::listDir(dumps), std::vector<std::string>(dirs.begin(), dirs.end()));
    for (const std::string& d : dirs) {
        EXPECT_EQ(tarnd_test::listDir(dumps + "/" + d), std::vector<std::string>{"f"}) << d;
        EXPECT_EQ(tarnd_test::readFile(dumps + "/" + d + "/f"), "x\n") << d;
    }
    RecordProperty("names", static_cast<int>(kTotalNames));
    RecordProperty("dumps", static_cast<int>(history.size()));
    RecordProperty("refused", static_cast<int>(invalid.size()));
    RecordProperty("dump_directories", static_cast<int>(dirs.size()));
    RecordProperty("largest_receive", largestReceive);
}

}  // namespace
