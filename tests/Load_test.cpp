// A running service under load: four writers push 10,000 event names into the internal channel
// through binder calls, sendEvent and the detectors' send path while the monitor thread dumps.

#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <tarnd_host/LogStore.h>
#include <tarnd_host/ZelRecorder.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "detectors/SendMatchedEvents.h"
#include "service/ITarnDebugService.h"
#include "service/TarnDebugService.h"

using android::String8;

namespace {

// Binder and sendEvent writers send a name at every step, the detector writers only at the
// known steps (their other texts match nothing); every known name costs a dump.
constexpr size_t kTotalNames = 10000;
constexpr int kKnownPerWriter = 125;
constexpr size_t kKnownNames = 4 * kKnownPerWriter;
constexpr int kSteps = (kTotalNames - 2 * kKnownPerWriter) / 2;
constexpr int kKnownEvery = kSteps / kKnownPerWriter;
static_assert(kKnownEvery * kKnownPerWriter == kSteps, "known steps spread evenly");

const char* const kEvents[] = {"load_gpu_hang", "load_vpu_hang", "load_fence_timeout",
                               "load_ring_stall", "load_page_fault"};
constexpr size_t kEventCount = sizeof(kEvents) / sizeof(kEvents[0]);

// No key word occurs inside another or inside the texts that should match nothing.
std::string keyWord(size_t event) { return "LOADKW_" + std::string(1, 'A' + event) + "_HIT"; }

enum Writer { kBinder, kSendEvent, kKmsg, kLogcat, kWriterCount };

struct Step {
    std::string payload;
    std::string name;  // what the step puts into the channel; empty: nothing
    bool known;
};

std::vector<Step> plan(int w) {
    std::vector<Step> steps;
    for (int i = 0; i < kSteps; ++i) {
        bool known = i % kKnownEvery == 0;
        size_t e = static_cast<size_t>(w + i / kKnownEvery) % kEventCount;
        std::string name =
                known ? kEvents[e] : "bogus_" + std::to_string(w) + "_" + std::to_string(i);
        if (w == kBinder || w == kSendEvent) {
            steps.push_back({name, name, known});
            continue;
        }
        // A record as /dev/kmsg hands it out, or a logcat message.
        std::string word = known ? keyWord(e) : "ring idle";
        steps.push_back({w == kKmsg ? "4," + std::to_string(i) + ",5000,-;gpu: " + word +
                                              "\n SUBSYSTEM=drm\n"
                                    : "fence wait " + word + " on ring 1",
                         known ? name : "", known});
    }
    return steps;
}

// The daemon's own threads: sanitizer runtimes add helper threads of their own.
std::vector<std::string> daemonThreads() {
    std::vector<std::string> names;
    for (const std::string& n : tarnd_test::threadNames()) {
        if (n.compare(0, 6, "TARND ") == 0) names.push_back(n);
    }
    return names;
}

TEST(LoadTest, TenThousandNamesFromFourWritersWhileDumping) {
    tarnd_test::TempDir dir;
    std::string text = "global.log_dump_path=" + dir.file("dumps") +
                       "\nglobal.max_dump_count=100000\nglobal.max_dump_space=100000\n"
                       "global.min_free_space=1\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\n"
                       "handler.note.dump=echo x > f\nhandler.note.on=1\nhandler.note.level=0\n"
                       "monitor.load.enable=1\n";
    for (size_t e = 0; e < kEventCount; ++e) {
        const std::string event = std::string("event.") + kEvents[e];
        text += event + ".key_word=" + keyWord(e) + "\n" + event + ".handler.note.on=1\n";
        text += std::string("monitor.load.event=") + kEvents[e] + "\n";
    }
    tarnd_test::writeFile(dir.file("tarndebug.conf"), text);

    std::vector<Step> steps[kWriterCount];
    std::map<std::string, int> known;
    // The first refused name shows the monitor ready, the last the channel drained.
    std::set<std::string> unknown{"load_warmup", "load_drained"};
    for (int w = 0; w < kWriterCount; ++w) {
        steps[w] = plan(w);
        for (const Step& s : steps[w]) {
            if (s.known) known[s.name]++;
            if (!s.known && !s.name.empty()) unknown.insert(s.name);
        }
    }
    ASSERT_EQ(unknown.size(), kTotalNames - kKnownNames + 2);

    const std::vector<std::string> threadsBefore = daemonThreads();
    const std::vector<int> fdsBefore = tarnd_test::openFds();
    tarnd_host::LogStore::instance().setEcho(false);  // tens of thousands of lines
    tarnd_host::LogCapture log;
    tarnd_host::ZelCapture zel;
    uint64_t start = tarnd_test::logPosition();
    std::atomic<int> failures{0};
    std::map<std::string, int> dumpCounts, historyCounts, zelCounts;
    std::vector<int> fdsRunning, fdsLoaded;
    std::vector<std::string> threadsRunning, threadsLoaded;
    std::vector<tarnd_host::LogLine> lines;
    {
        android::sp<android::TarnDebugService> service =
                tarnd_test::makeService(dir.file("tarndebug.conf"), dir.path());
        ASSERT_EQ(service->mStopped, 0) << "the service did not start";
        tarnd_test::gNow = 1741158489;  // one dump directory per event: the scans stay small
        service->mTime = tarnd_test::fixedTime;
        ASSERT_EQ(service->sendEvent(String8("load_warmup")), android::NO_ERROR);
        ASSERT_TRUE(tarnd_test::waitForMessage(start, "Invalid event received, load_warmup"));
        ASSERT_EQ(tarnd_test::threadsNamedSoon("TARND LogGC"), 1);
        threadsRunning = daemonThreads();
        fdsRunning = tarnd_test::openFds();

        std::vector<std::thread> writers;
        for (int w = 0; w < kWriterCount; ++w) {
            writers.emplace_back([&, w] {
                for (const Step& s : steps[w]) {
                    if (w == kBinder) {
                        android::Parcel data, reply;
                        data.writeInterfaceToken(android::ITarnDebugService::descriptor);
                        data.writeString16(android::String16(s.payload.c_str()));
                        failures += service->transact(android::ITarnDebugService::SEND_EVENT, data,
                                                      &reply) != android::NO_ERROR;
                        reply.setDataPosition(0);
                        failures += reply.readInt32() != android::NO_ERROR;
                    } else if (w == kSendEvent) {
                        failures +=
                                service->sendEvent(String8(s.payload.c_str())) != android::NO_ERROR;
                    } else {
                        android::sendMatchedEvents(service.get(), s.payload.c_str());
                    }
                }
            });
        }
        for (std::thread& w : writers) w.join();
        ASSERT_EQ(service->sendEvent(String8("load_drained")), android::NO_ERROR);
        // Long enough for the sanitizer builds; the test is not about speed.
        ASSERT_TRUE(tarnd_test::waitForMessage(start, "Invalid event received, load_drained",
                                               std::chrono::seconds(240)));
        // The monitor logged the last refusal after every earlier dump had finished.
        for (size_t i = 0; i < service->mHistory.size(); ++i) {
            historyCounts[service->mHistory[i].mEventName.string()]++;
        }
        for (size_t i = 0; i < service->mEvents.size(); ++i) {
            dumpCounts[service->mEvents[i].mName.string()] = service->mEvents[i].mDumpCount;
        }
        threadsLoaded = daemonThreads();
        fdsLoaded = tarnd_test::openFds();
        lines = log.lines();  // before the service's destruction logs its own
    }
    tarnd_host::LogStore::instance().setEcho(true);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(threadsBefore, std::vector<std::string>());
    EXPECT_EQ(threadsRunning, (std::vector<std::string>{"TARND LogGC", "TARND Monitor"}));
    EXPECT_EQ(threadsLoaded, threadsRunning);
    EXPECT_EQ(fdsLoaded, fdsRunning);
    for (const std::string& name : threadsRunning)
        EXPECT_TRUE(tarnd_test::threadGone(name)) << name;
    EXPECT_EQ(daemonThreads(), threadsBefore);
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);

    // A merged or split name shows as a refusal of a name nobody sent, a lost one as a missing
    // refusal or dump.
    std::map<std::string, int> refused, dumped;
    std::vector<std::string> bad;  // errors and dropped events
    const std::string refusal = "Invalid event received, ", dump = "Dump event ";
    for (const tarnd_host::LogLine& l : lines) {
        if (l.prio >= ANDROID_LOG_ERROR || l.msg.compare(0, 19, "Drop internal event") == 0) {
            bad.push_back(l.msg);
        } else if (l.msg.compare(0, refusal.size(), refusal) == 0) {
            refused[l.msg.substr(refusal.size())]++;
        } else if (l.msg.compare(0, dump.size(), dump) == 0) {
            dumped[l.msg.substr(dump.size(), l.msg.find(" to ") - dump.size())]++;
        }
    }
    EXPECT_EQ(bad, std::vector<std::string>());
    EXPECT_EQ(refused.size(), unknown.size());
    for (const auto& r : refused) {
        EXPECT_TRUE(unknown.count(r.first) == 1 && r.second == 1) << r.first << " x" << r.second;
    }
    for (const tarnd_host::ZelCall& call : zel.calls()) zelCounts[call.event]++;
    EXPECT_EQ(dumped, known);
    EXPECT_EQ(dumpCounts, known);
    EXPECT_EQ(historyCounts, known);
    EXPECT_EQ(zelCounts, known);
    EXPECT_EQ(tarnd_test::listDir(dir.file("dumps")).size(), kEventCount);
    RecordProperty("names", static_cast<int>(kTotalNames));
    RecordProperty("dumps", static_cast<int>(kKnownNames));
    RecordProperty("refused", static_cast<int>(refused.size()));
}

}  // namespace
