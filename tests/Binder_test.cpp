#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>
#include <utils/String16.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/ITarnDebugService.h"
#include "service/TarnDebugService.h"

using android::IBinder;
using android::ITarnDebugService;
using android::Parcel;
using android::String16;
using tarnd_host::LogCapture;

namespace {

const char* kDescriptor = "quorl.kez.tarnd";

// A service whose start-up found no monitor, given a channel by hand, so that the test reads what
// sendEvent writes straight from the receiving end.
class BinderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarnd_test::writeFile(mDir.file("empty.conf"), "");
        mService = tarnd_test::makeService(mDir.file("empty.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
        ASSERT_TRUE(tarnd_test::openChannel(*mService));
    }

    std::string channelBytes() { return tarnd_test::readChannel(*mService); }

    tarnd_test::TempDir mDir;
    android::sp<android::TarnDebugService> mService;
};

TEST_F(BinderTest, SendEventRequestAndReply) {
    constexpr int32_t kNone = 1;  // no reply written
    const int32_t kDenied = android::PERMISSION_DENIED;
    const struct {
        bool running;
        const char* token;  // null: none written
        std::u16string name;
        int32_t status;  // of the transaction
        int32_t reply;
        std::string channel;
        std::string log;  // the one line logged, if any
    } cases[] = {
            {true, kDescriptor, u"gpu_hang", 0, 0, "gpu_hang\n",
             "Send event gpu_hang thru tarnd service"},
            {true, kDescriptor, u"", 0, 0, "", "Send event  thru tarnd service"},
            {true, kDescriptor, u"a\nb\n\nc", 0, 0, "a\nb\n\nc\n",
             "Send event a\nb\n\nc thru tarnd service"},
            {true, kDescriptor, std::u16string(u"ab\0cd", 5), 0, 0, "ab\n",
             "Send event ab thru tarnd service"},
            {true, kDescriptor, std::u16string(1025, u'n'), 0, android::BAD_VALUE, "",
             "Event name of 1025 bytes is too long, not sent"},
            {false, kDescriptor, u"gpu_hang", 0, -38, "", ""},
            {true, nullptr, u"gpu_hang", kDenied, kNone, "", ""},
            {true, "quorl.kez.other", u"gpu_hang", kDenied, kNone, "", ""},
            {true, "quorl.kez.tarn", u"gpu_hang", kDenied, kNone, "", ""},
            {true, "quorl.kez.tarnd.x", u"gpu_hang", kDenied, kNone, "", ""},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const auto& c = cases[i];
        LogCapture log;
        Parcel data, reply;
        if (c.token != nullptr) data.writeInterfaceToken(String16(c.token));
        data.writeString16(String16(c.name.data(), c.name.size()));
        mService->mStopped = c.running ? 0 : 1;
        EXPECT_EQ(mService->transact(ITarnDebugService::SEND_EVENT, data, &reply), c.status) << i;
        EXPECT_EQ(reply.dataSize(), c.reply == kNone ? 0u : 4u) << i;
        reply.setDataPosition(0);
        EXPECT_EQ(reply.readInt32(), c.reply == kNone ? 0 : c.reply) << i;
        EXPECT_EQ(channelBytes(), c.channel) << i;
        EXPECT_EQ(log.messages(), std::vector<std::string>(c.log.empty() ? 0 : 1, c.log)) << i;
    }
    // The flags are not looked at: a one-way call, without a reply parcel, is handled the same.
    Parcel data;
    data.writeInterfaceToken(String16(kDescriptor));
    data.writeString16(String16("vpu_hang"));
    EXPECT_EQ(mService->transact(1, data, nullptr, IBinder::FLAG_ONEWAY), android::NO_ERROR);
    EXPECT_EQ(channelBytes(), "vpu_hang\n");
}

TEST_F(BinderTest, OtherCodesAsAPlainBinderAndLocalInterface) {
    mService->mStopped = 0;
    android::sp<android::BBinder> plain = new android::BBinder();
    auto bytes = [](const Parcel& p) { return std::string(p.data(), p.data() + p.dataSize()); };
    for (uint32_t code : {0u, 2u, uint32_t{IBinder::PING_TRANSACTION}, 0xFFFFFFFFu}) {
        Parcel data, reply, plainReply;
        data.writeInterfaceToken(String16(kDescriptor));
        data.writeString16(String16("gpu_hang"));
        EXPECT_EQ(mService->transact(code, data, &reply), plain->transact(code, data, &plainReply))
                << code;
        EXPECT_EQ(bytes(reply), bytes(plainReply)) << code;
        EXPECT_EQ(channelBytes(), "") << code;
    }
    // The default interface query answers with this binder's own descriptor.
    Parcel data, reply;
    EXPECT_EQ(mService->transact(IBinder::INTERFACE_TRANSACTION, data, &reply), android::NO_ERROR);
    EXPECT_EQ(reply.readString16(), String16(kDescriptor));
    EXPECT_EQ(mService->queryLocalInterface(String16(kDescriptor)).get(),
              static_cast<android::IInterface*>(mService.get()));
    const std::u16string others[] = {u"", u"quorl.kez.tarn", u"quorl.kez.tarndx",
                                     u"Quorl.kez.tarnd", std::u16string(u"quorl.kez.tarnd\0", 16)};
    for (const std::u16string& name : others) {
        EXPECT_EQ(mService->queryLocalInterface(String16(name.data(), name.size())), nullptr)
                << name.size();
    }
}

}  // namespace
