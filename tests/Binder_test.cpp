#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <tarnd_host/CallingIdentity.h>
#include <tarnd_host/ServiceRegistry.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "service/ITarnDebugService.h"
#include "tools/ServiceClient.h"

using namespace android;
using namespace android::tarnd;
using namespace std::string_literals;

constexpr const char* kOk = "quorl.kez.tarnd";

// An idle service with a channel given by hand: what a transaction sends is read straight from
// the receiving end. Codes other than sending an event get a plain binder's answer. The flags are
// not looked at: a one-way call, without a reply parcel, is handled the same.
TEST(BinderTest, Transactions) {
    tarnd_test::ChannelService idle({});
    tarnd_host::ScopedCallingIdentity root(getpid(), 0);
    enum How { kOff, kOn, kOneWay };
    // How the call is made (kOff: to a stopped service, kOneWay: without a reply parcel); the
    // code; the interface token (null: none written); the name; the status; the int32 the reply
    // holds (1: the reply stays empty); what reaches the channel; the line logged.
    using Row = std::tuple<How, uint32_t, const char*, std::u16string, int32_t, int32_t,
                           std::string, std::string>;
    const Row rows[] = {
            {kOn, 1, kOk, u"gpu", 0, 0, "gpu\n", "Send event gpu thru tarnd service"},
            {kOn, 1, kOk, u"a\n\nb", 0, 0, "a\n\nb\n", "Send event a\n\nb thru tarnd service"},
            {kOn, 1, kOk, u"ab\0cd"s, 0, 0, "ab\n", "Send event ab thru tarnd service"},
            {kOn, 1, kOk, std::u16string(1025, u'n'), 0, BAD_VALUE, "",
             "Event name of 1025 bytes is too long, not sent"},
            {kOneWay, 1, kOk, u"vpu", 0, 1, "vpu\n", "Send event vpu thru tarnd service"},
            {kOff, 1, kOk, u"gpu", 0, -38, "", ""},
            {kOn, 1, nullptr, u"gpu", PERMISSION_DENIED, 1, "", ""},
            {kOn, 1, "quorl.kez.tarn", u"gpu", PERMISSION_DENIED, 1, "", ""},
            {kOn, 1, "quorl.kez.tarnd.x", u"gpu", PERMISSION_DENIED, 1, "", ""},
            {kOn, 2, kOk, u"gpu", UNKNOWN_TRANSACTION, 1, "", ""},
            {kOn, IBinder::PING_TRANSACTION, kOk, u"gpu", 0, 0, "", ""},
    };
    for (const auto& [how, code, token, name, status, answer, channel, text] : rows) {
        SCOPED_TRACE(std::to_string(code) + " " + (token ? token : "-") + " " + text);
        tarnd_host::LogCapture log;
        Parcel data, reply;
        if (token != nullptr) data.writeInterfaceToken(String16(token));
        data.writeString16(String16(name.data(), name.size()));
        idle.service->mStopped = how == kOff;
        const uint32_t flags = how == kOneWay ? IBinder::FLAG_ONEWAY : 0;
        EXPECT_EQ(idle.service->transact(code, data, flags ? nullptr : &reply, flags), status);
        EXPECT_EQ(std::string(reply.data(), reply.data() + reply.dataSize()),
                  answer == 1 ? "" : std::string(reinterpret_cast<const char*>(&answer), 4));
        EXPECT_EQ(idle.drain(), channel);
        EXPECT_EQ(log.messages(), std::vector<std::string>(text.empty() ? 0 : 1, text));
    }
}

// The interface descriptor is answered and only the exact one gives the service itself.
TEST(BinderTest, LocalInterface) {
    tarnd_test::ChannelService idle({});
    Parcel none, reply;
    EXPECT_EQ(idle.service->transact(IBinder::INTERFACE_TRANSACTION, none, &reply), 0);
    EXPECT_EQ(reply.readString16(), String16(kOk));
    for (const std::u16string& name :
         {u"quorl.kez.tarnd"s, u"quorl.kez.tarndx"s, u"quorl.kez.tarnd\0"s})
        EXPECT_EQ(idle.service->queryLocalInterface(String16(name.data(), name.size())).get(),
                  name == u"quorl.kez.tarnd" ? idle.service.get() : nullptr);
}

// What dump() writes for the caller, read back from a file.
std::string dumpText(TarnDebugService& service, const std::vector<const char*>& args = {}) {
    tarnd_test::ScratchDir dir;
    android::tarnd::UniqueFd out(open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    Vector<String16> words;
    for (const char* a : args) words.add(String16(a));
    EXPECT_EQ(service.dump(out.get(), words), NO_ERROR);
    return tarnd_test::readFile(dir.file("out"));
}

// Who may send events and read the status: root, system, shell and allowed_uid lines send;
// those and holders of android.permission.DUMP read. A refusal is logged once per 10 s per uid.
TEST(BinderTest, Callers) {
    tarnd_test::ChannelService idle({});
    idle.service->mAllowedUids.push_back(10001);
    idle.service->mStopped = 0;
    tarnd_host::ServiceRegistry::reset();
    tarnd_host::ServiceRegistry::grantPermission(String16("android.permission.DUMP"), 10003);
    // The calling uid; whether its event goes through; whether it reads the status.
    const std::tuple<uid_t, bool, bool> rows[] = {{0, 1, 1},     {1000, 1, 1},  {2000, 1, 1},
                                                  {10001, 1, 0}, {10002, 0, 0}, {10002, 0, 0},
                                                  {10003, 0, 1}};
    for (const auto& [uid, sends, reads] : rows) {
        SCOPED_TRACE(uid);
        tarnd_host::ScopedCallingIdentity caller(4321, uid);
        tarnd_host::LogCapture log;
        Parcel data, reply;
        data.writeInterfaceToken(String16(kOk));
        data.writeString16(String16("gpu"));
        EXPECT_EQ(idle.service->transact(1, data, &reply), NO_ERROR);
        EXPECT_EQ(reply.readInt32(), sends ? NO_ERROR : PERMISSION_DENIED);
        EXPECT_EQ(idle.drain(), sends ? "gpu\n" : "");
        const bool first = !sends && log.lines().size() == 1;  // the second 10002 logs nothing
        EXPECT_EQ(log.contains("sendEvent from uid " + std::to_string(uid) + " pid 4321 refused"),
                  first);
        const std::string status = dumpText(*idle.service);
        EXPECT_EQ(status.rfind(reads ? "State: running"
                                     : "Permission Denial: can't dump tarnd from "
                                       "pid=4321, uid=" +
                                               std::to_string(uid),
                               0),
                  0u)
                << status;
    }
}

// With service_name the running service is published, and a client reaches it through the
// service manager by a proxy; without the key nothing is published. A refused registration is
// logged and the daemon goes on.
TEST(BinderTest, PublishedServiceReachedThroughItsProxy) {
    tarnd_test::ScratchDir dir;
    tarnd_host::ServiceRegistry::reset();
    const std::string base = "global.log_dump_path=" + dir.file("d") +
                             "\nglobal.kmsg_grep=0\nglobal.logcat_grep=0\nevent.gpu.uevent=g\n"
                             "monitor.m.enable=1\nmonitor.m.event=gpu\n";
    // The service_name line; whether the registration fails; what publishing logs.
    const std::tuple<std::string, bool, std::string> rows[] = {
            {"", false, ""},
            {"global.service_name=t1\n", false, "Published as t1"},
            {"global.service_name=t2\n", true, "Cannot publish as t2: -1"}};
    for (const auto& [line, fails, logged] : rows) {
        SCOPED_TRACE(line);
        tarnd_test::writeFile(dir.file("c.conf"), base + line);
        sp<TarnDebugService> service = tarnd_test::makeService(dir.file("c.conf"), dir.path());
        if (fails) tarnd_host::ServiceRegistry::failNextAdd(-1);
        tarnd_host::LogCapture log;
        service->publish();
        // The running workers log too; only publishing's own lines count.
        std::vector<std::string> lines;
        for (const std::string& m : log.messages())
            if (m.find("ublish") != std::string::npos) lines.push_back(m);
        EXPECT_EQ(lines, std::vector<std::string>(logged.empty() ? 0 : 1, logged));
        EXPECT_EQ(defaultServiceManager()->listServices().size(), line.empty() || fails ? 0u : 1u);
        if (line.empty() || fails) continue;
        // A binder that only forwards calls is no local interface: the client gets a proxy.
        struct Forwarder : BBinder {
            explicit Forwarder(const sp<IBinder>& to) : target(to) {}
            status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags) override {
                return target->transact(code, data, reply, flags);
            }
            sp<IBinder> target;
        };
        sp<IBinder> published = defaultServiceManager()->checkService(String16("t1"));
        ASSERT_EQ(published.get(), static_cast<IBinder*>(service.get()));
        defaultServiceManager()->addService(String16("fwd"), new Forwarder(published));
        EXPECT_EQ(sendEventTo("fwd", "gpu"), NO_ERROR);
        EXPECT_TRUE(log.waitFor("Send event gpu thru tarnd service"));
        EXPECT_EQ(sendEventTo("none", "gpu"), NAME_NOT_FOUND);
        tarnd_host::ScopedCallingIdentity stranger(1, 10002);
        EXPECT_EQ(sendEventTo("fwd", "gpu"), PERMISSION_DENIED);
        tarnd_host::ServiceRegistry::reset();
    }
}

// The status after real dumps: a skip by interval, a time limit, a space stop and lost kernel
// records show in their counters, and the sections can be asked for one at a time. Dumps and
// reads may run at once.
TEST(BinderTest, StatusCountsWhatHappened) {
    tarnd_test::ScratchService s;
    s.service->mLogDumpPath = String8(s.dir.file("dumps").c_str());
    std::tie(s.service->mMinFreeSpace, s.service->mMaxDumpSpace, s.service->mStopped) =
            std::make_tuple(0, 1, 0);
    auto hung = tarnd_test::makeHandler("hung", 0, "sleep 30");
    std::tie(hung.mTimeoutSet, hung.mTimeout) = std::make_tuple(true, 1);
    s.service->mEvents.add(tarnd_test::makeEvent("hang", {hung}));
    s.service->mEvents.add(
            tarnd_test::makeEvent("big", {tarnd_test::makeHandler("y", 0, "yes > y")}));
    s.service->mEvents.editItemAt(0).mInterval = 60;
    for (const char* e : {"hang", "big"}) s.service->mStats.events[e];
    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) EXPECT_FALSE(dumpText(*s.service).empty());
    });
    for (const char* e : {"hang", "hang", "big", "none"}) s.service->dumpEvent(e);
    reader.join();
    s.service->noteTrigger("big", TriggerSource::kLogcat);
    s.service->updateStats([](ServiceStats& stats) { stats.kmsgLost += 3; });
    const std::string events = dumpText(*s.service, {"events"});
    EXPECT_TRUE(tarnd_test::matches(
            "Events:\n  big: 1 dumps, last big_*\n    triggers: uevent 0, kernel log 0, Android "
            "log "
            "1, binder 0\n    skipped: once 0, interval 0, space 0\n    commands stopped: time "
            "limit 0, space limit 1\n  hang: 1 dumps, last hang_*\n    triggers: *\n    skipped: "
            "once 0, interval 1, space 0\n    commands stopped: time limit 1, space limit 0\n",
            events))
            << events;
    EXPECT_EQ(dumpText(*s.service, {"losses"}),
              "Losses:\n  kernel log records lost: 3\n  uevents dropped from untrusted senders: "
              "0\n  uevent socket overruns: 0\n");
    EXPECT_TRUE(tarnd_test::matches("History, last 20 dumps:\n  hang hang_*\n  big big_*\n",
                                    dumpText(*s.service, {"history"})));
    EXPECT_TRUE(tarnd_test::matches("Dump directories, newest first:\n  * bytes\n  * bytes\n",
                                    dumpText(*s.service, {"dumps"})));
    EXPECT_TRUE(tarnd_test::matches("Unknown arguments: x\nUsage: *", dumpText(*s.service, {"x"})));
}
