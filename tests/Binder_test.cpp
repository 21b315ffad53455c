#include <binder/Parcel.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "service/ITarnDebugService.h"

using namespace android;
using namespace android::tarnd;
using namespace std::string_literals;

constexpr const char* kOk = "quorl.kez.tarnd";

// An idle service with a channel given by hand: what a transaction sends is read straight from
// the receiving end. Codes other than sending an event get a plain binder's answer. The flags are
// not looked at: a one-way call, without a reply parcel, is handled the same.
TEST(BinderTest, Transactions) {
    tarnd_test::ChannelService idle({});
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
