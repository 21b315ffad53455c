// A running service under load: four writers push 10,000 event names into the internal channel
// through binder calls, sendEvent and the detectors' send path while the monitor thread dumps.

#include <android/log.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <tarnd_host/ZelRecorder.h>

#include <atomic>
#include <map>
#include <thread>

#include "TestSupport.h"
#include "detectors/SendMatchedEvents.h"
#include "service/ITarnDebugService.h"

using namespace android;
using namespace android::tarnd;

namespace {

// Binder and sendEvent writers send a name at every step, the kernel log and logcat writers a
// text that matches at every 130th step only (the others match nothing): 2 x 4940 + 2 x 38 names,
// 4 x 38 of them known, each costing a dump: more than the history keeps, few enough that the
// sanitizer builds finish on a busy machine.
constexpr int kSteps = 4940, kKnownEvery = 130;
enum Writer { kBinder, kSendEvent, kKmsg, kLogcat };

// Five events, each with a key word that occurs inside no other text of the test.
std::string event(size_t e) { return "load_" + std::to_string(e); }
std::string keyWord(size_t e) { return "LOADKW_" + std::to_string(e) + "_HIT"; }

// What writer w hands over at step i, and the name that reaches the channel (empty: none).
std::pair<std::string, std::string> step(int w, int i) {
    const bool known = i % kKnownEvery == 0;
    const size_t e = static_cast<size_t>(w + i / kKnownEvery) % 5;
    const std::string name =
            known ? event(e) : "bogus_" + std::to_string(w) + "_" + std::to_string(i);
    if (w == kBinder || w == kSendEvent) return {name, name};
    const std::string word = known ? keyWord(e) : "ring idle";
    // A record as /dev/kmsg hands it out, or a logcat message.
    return {w == kKmsg ? "4," + std::to_string(i) + ",5000,-;gpu: " + word + "\n SUBSYSTEM=drm\n"
                       : "fence wait " + word + " on ring 1",
            known ? name : ""};
}

// The daemon's own threads: sanitizer runtimes add helper threads of their own.
std::vector<std::string> daemonThreads() {
    std::vector<std::string> names = tarnd_test::threadNames();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return n.rfind("TARND ", 0) != 0; }),
                names.end());
    return names;
}

TEST(LoadTest, TenThousandNamesFromFourWritersWhileDumping) {
    tarnd_test::ScratchDir dir;
    std::string config = "global.log_dump_path=" + dir.file("dumps") +
                         "\nglobal.max_dump_count=100000\nglobal.max_dump_space=100000\n"
                         "global.min_free_space=1\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\n"
                         "handler.note.dump=echo x > f\nhandler.note.on=1\nhandler.note.level=0\n"
                         "monitor.load.enable=1\n";
    for (size_t e = 0; e < 5; ++e)
        config += "event." + event(e) + ".key_word=" + keyWord(e) + "\nevent." + event(e) +
                  ".handler.note.on=1\nmonitor.load.event=" + event(e) + "\n";
    tarnd_test::writeFile(dir.file("tarndebug.conf"), config);
    // The first refused name shows the monitor ready, the last the channel drained.
    std::map<std::string, int> known, refusals{{"load_warmup", 1}, {"load_drained", 1}};
    for (int w = kBinder; w <= kLogcat; ++w)
        for (int i = 0; i < kSteps; ++i)
            if (std::string name = step(w, i).second; !name.empty())
                (name.rfind("load_", 0) == 0 ? known : refusals)[name]++;

    const std::vector<int> fdsBefore = tarnd_test::openFds();
    ASSERT_EQ(daemonThreads(), std::vector<std::string>());
    tarnd_host::LogStore::instance().setEcho(false);  // tens of thousands of lines
    tarnd_host::LogCapture log;
    tarnd_host::ZelCapture zel;
    const uint64_t start = tarnd_test::logPosition();
    {
        sp<TarnDebugService> service =
                tarnd_test::makeService(dir.file("tarndebug.conf"), dir.path());
        ASSERT_EQ(service->mStopped, 0) << "the service did not start";
        tarnd_test::gNow = 1741158489;  // one second: the directories count up
        service->mTime = tarnd_test::fixedTime;
        ASSERT_EQ(service->sendEvent(String8("load_warmup")), NO_ERROR);
        ASSERT_TRUE(tarnd_test::waitForMessage(start, "Invalid event received, load_warmup"));
        ASSERT_EQ(tarnd_test::threadsNamedSoon("TARND LogGC"), 1);
        const std::vector<int> fdsRunning = tarnd_test::openFds();
        std::atomic<int> failures{0};
        std::vector<std::thread> writers;
        for (int w = kBinder; w <= kLogcat; ++w) {
            writers.emplace_back([&, w] {
                for (int i = 0; i < kSteps; ++i) {
                    const std::string payload = step(w, i).first;
                    Parcel data, reply;
                    data.writeInterfaceToken(ITarnDebugService::descriptor);
                    data.writeString16(String16(payload.c_str()));
                    if (w == kBinder)
                        failures += service->transact(ITarnDebugService::SEND_EVENT, data,
                                                      &reply) != NO_ERROR ||
                                    reply.readInt32() != NO_ERROR;
                    if (w == kSendEvent)
                        failures += service->sendEvent(String8(payload.c_str())) != NO_ERROR;
                    if (w >= kKmsg)
                        sendMatchedEvents(service.get(), payload.c_str(), TriggerSource::kKmsg);
                }
            });
        }
        for (std::thread& w : writers) w.join();
        ASSERT_EQ(service->sendEvent(String8("load_drained")), NO_ERROR);
        // Long enough for the sanitizer builds; the test is not about speed. The monitor logs the
        // last refusal after every earlier dump has finished.
        ASSERT_TRUE(tarnd_test::waitForMessage(start, "Invalid event received, load_drained",
                                               std::chrono::seconds(240)));
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(daemonThreads(), (std::vector<std::string>{"TARND LogGC", "TARND Monitor"}));
        EXPECT_EQ(tarnd_test::openFds(), fdsRunning);
        // A merged or split name shows as a refusal of a name nobody sent, a lost one as a missing
        // refusal or dump. Errors and dropped names are listed.
        std::map<std::string, int> refused, dumpCounts, historyCounts, zelCounts;
        std::vector<std::string> bad;
        for (const tarnd_host::LogLine& l : log.lines()) {
            if (l.prio >= ANDROID_LOG_ERROR || l.msg.rfind("Drop internal event", 0) == 0)
                bad.push_back(l.msg);
            if (l.msg.rfind("Invalid event received, ", 0) == 0) refused[l.msg.substr(24)]++;
        }
        for (const auto& h : service->mHistory) historyCounts[h.mEventName.string()]++;
        for (const auto& e : service->mEvents) dumpCounts[e.mName.string()] = e.mDumpCount;
        for (const tarnd_host::ZelCall& call : zel.calls()) zelCounts[call.event]++;
        EXPECT_EQ(bad, std::vector<std::string>());
        EXPECT_EQ(refused, refusals);
        EXPECT_EQ(dumpCounts, known);
        EXPECT_EQ(zelCounts, known);
        // Every dump in a directory of its own; the history keeps the newest only.
        EXPECT_EQ(tarnd_test::listDir(dir.file("dumps")).size(), 4u * 38);
        size_t kept = 0;
        for (const auto& [name, count] : historyCounts) kept += count <= known[name] ? count : 0;
        EXPECT_EQ(kept, TarnDebugService::kHistoryKept);
    }
    tarnd_host::LogStore::instance().setEcho(true);
    EXPECT_TRUE(tarnd_test::threadGone("TARND LogGC") && tarnd_test::threadGone("TARND Monitor"));
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
}

}  // namespace
