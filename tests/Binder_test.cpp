#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "events/ChannelReader.h"
#include "service/ITarnDebugService.h"
#include "service/TarnDebugService.h"

using android::BBinder;
using android::IBinder;
using android::ITarnDebugService;
using android::Parcel;
using android::sp;
using android::status_t;
using android::String16;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

const char* kDescriptor = "quorl.kez.tarnd";

// A service whose start-up found no monitor, given a channel and marked running by hand, so that
// the test reads what sendEvent writes straight from the receiving end.
class BinderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarnd_test::writeFile(mDir.file("empty.conf"), "");
        mService = tarnd_test::makeService(mDir.file("empty.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
        ASSERT_EQ(mService->mMonitorThread, nullptr);
    }

    void markRunning() {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mService->mSockets), 0);
        mService->mStopped = 0;
    }

    // Everything waiting on the receiving end, without blocking.
    std::string channelBytes() {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(mService->mSockets[1], buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) {
        return android::IInterface::asBinder(static_cast<ITarnDebugService*>(mService.get()))
                ->transact(code, data, reply, flags);
    }

    TempDir mDir;
    sp<TarnDebugService> mService;
};

void writeRequest(Parcel* data, const String16& name) {
    data->writeInterfaceToken(String16(kDescriptor));
    data->writeString16(name);
}

int32_t replyStatus(const Parcel& reply) {
    reply.setDataPosition(0);
    return reply.readInt32();
}

struct SendCase {
    const char* what;
    String16 name;
    std::string channel;  // bytes that reach the channel
    int32_t status;       // int32 in the reply
    std::string logged;   // the name in "Send event %s thru tarnd service", or "-" for no line
};

std::vector<SendCase> sendCases() {
    const char16_t withNul[] = {u'a', u'b', 0, u'c', u'd'};
    std::string longest(android::ChannelReader::kMaxNameLength, 'n');
    return {
            {"plain name", String16("gpu_hang"), "gpu_hang\n", 0, "gpu_hang"},
            {"empty name", String16(""), "", 0, ""},
            {"name with newlines", String16("a\nb\n\nc"), "a\nb\n\nc\n", 0, "a\nb\n\nc"},
            {"name with a zero unit", String16(withNul, 5), "ab\n", 0, "ab"},
            {"non-ASCII name", String16(u"gpu_h\u00e4ng"), "gpu_h\xc3\xa4ng\n", 0,
             "gpu_h\xc3\xa4ng"},
            {"longest name", String16(longest.c_str()), longest + "\n", 0, longest},
            {"name over the limit", String16((longest + "x").c_str()), "", android::BAD_VALUE, "-"},
    };
}

TEST_F(BinderTest, SendEventRequestAndReply) {
    markRunning();
    for (const SendCase& c : sendCases()) {
        LogCapture log;
        Parcel data, reply;
        writeRequest(&data, c.name);
        EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, &reply), android::NO_ERROR)
                << c.what;
        EXPECT_EQ(reply.dataSize(), 4u) << c.what;
        EXPECT_EQ(replyStatus(reply), c.status) << c.what;
        EXPECT_EQ(channelBytes(), c.channel) << c.what;
        if (c.logged == "-") {
            EXPECT_EQ(log.count("Send event " + c.logged + " thru tarnd service"), 0u);
            EXPECT_EQ(log.messages().size(), 1u) << c.what;
        } else {
            // The log keeps the first 1023 characters of a message.
            std::string line = ("Send event " + c.logged + " thru tarnd service").substr(0, 1023);
            EXPECT_EQ(log.messages(), std::vector<std::string>{line}) << c.what;
        }
    }
}

TEST_F(BinderTest, OneWayCallAndNoReplyParcel) {
    markRunning();
    Parcel data;
    writeRequest(&data, String16("gpu_hang"));
    EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, nullptr, IBinder::FLAG_ONEWAY),
              android::NO_ERROR);
    EXPECT_EQ(channelBytes(), "gpu_hang\n");
}

TEST_F(BinderTest, BeforeStartUpRepliesInvalidOperation) {
    LogCapture log;
    Parcel data, reply;
    writeRequest(&data, String16("gpu_hang"));
    EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, &reply), android::NO_ERROR);
    EXPECT_EQ(reply.dataSize(), 4u);
    EXPECT_EQ(replyStatus(reply), -38);
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(mService->sendEvent(String8("gpu_hang")), android::INVALID_OPERATION);
}

TEST_F(BinderTest, AfterStopRepliesInvalidOperation) {
    markRunning();
    mService->mStopped = 1;
    Parcel data, reply;
    writeRequest(&data, String16("gpu_hang"));
    EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, &reply), android::NO_ERROR);
    EXPECT_EQ(replyStatus(reply), -38);
    EXPECT_EQ(channelBytes(), "");
}

struct TokenCase {
    const char* what;
    // Fills the request; the name gpu_hang follows unless noted.
    void (*fill)(Parcel*);
};

TEST_F(BinderTest, WrongOrMissingTokenIsDenied) {
    markRunning();
    const std::vector<TokenCase> cases = {
            {"no token, name only", [](Parcel* p) { p->writeString16(String16("gpu_hang")); }},
            {"empty parcel", [](Parcel*) {}},
            {"other interface",
             [](Parcel* p) {
                 p->writeInterfaceToken(String16("quorl.kez.other"));
                 p->writeString16(String16("gpu_hang"));
             }},
            {"prefix of the descriptor",
             [](Parcel* p) {
                 p->writeInterfaceToken(String16("quorl.kez.tarn"));
                 p->writeString16(String16("gpu_hang"));
             }},
            {"descriptor and more",
             [](Parcel* p) {
                 p->writeInterfaceToken(String16("quorl.kez.tarnd.x"));
                 p->writeString16(String16("gpu_hang"));
             }},
            {"other case",
             [](Parcel* p) {
                 p->writeInterfaceToken(String16("QUORL.KEZ.TARND"));
                 p->writeString16(String16("gpu_hang"));
             }},
            {"policy only", [](Parcel* p) { p->writeInt32(0); }},
    };
    for (const TokenCase& c : cases) {
        LogCapture log;
        Parcel data, reply;
        c.fill(&data);
        EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, &reply), android::PERMISSION_DENIED)
                << c.what;
        EXPECT_EQ(reply.dataSize(), 0u) << c.what;
        EXPECT_EQ(channelBytes(), "") << c.what;
        EXPECT_TRUE(log.messages().empty()) << c.what;
    }
}

TEST_F(BinderTest, TokenAsThePlatformWritesIt) {
    markRunning();
    // The caller's strict-mode policy, then the descriptor: any policy value is accepted.
    Parcel data, reply;
    data.writeInt32(0);
    data.writeString16(String16(kDescriptor));
    data.writeString16(String16("vpu_hang"));
    EXPECT_EQ(transact(ITarnDebugService::SEND_EVENT, data, &reply), android::NO_ERROR);
    EXPECT_EQ(replyStatus(reply), 0);
    EXPECT_EQ(channelBytes(), "vpu_hang\n");
}

TEST_F(BinderTest, OtherCodesAsAPlainBinder) {
    markRunning();
    sp<BBinder> plain = new BBinder();
    const uint32_t codes[] = {0,
                              2,
                              3,
                              IBinder::LAST_CALL_TRANSACTION,
                              IBinder::PING_TRANSACTION,
                              IBinder::DUMP_TRANSACTION,
                              IBinder::SYSPROPS_TRANSACTION,
                              0xFFFFFFFFu};
    for (uint32_t code : codes) {
        Parcel data, reply, plainReply;
        writeRequest(&data, String16("gpu_hang"));
        status_t status = transact(code, data, &reply);
        EXPECT_EQ(status, plain->transact(code, data, &plainReply)) << code;
        ASSERT_EQ(reply.dataSize(), plainReply.dataSize()) << code;
        EXPECT_EQ(
                std::vector<uint8_t>(reply.data(), reply.data() + reply.dataSize()),
                std::vector<uint8_t>(plainReply.data(), plainReply.data() + plainReply.dataSize()))
                << code;
        EXPECT_EQ(channelBytes(), "") << code;
    }
    // The default interface query answers with this binder's own descriptor.
    Parcel data, reply;
    EXPECT_EQ(transact(IBinder::INTERFACE_TRANSACTION, data, &reply), android::NO_ERROR);
    EXPECT_EQ(reply.readString16(), String16(kDescriptor));
    EXPECT_EQ(transact(2, data, &reply), android::UNKNOWN_TRANSACTION);
}

TEST_F(BinderTest, Descriptor) {
    EXPECT_EQ(ITarnDebugService::descriptor, String16(kDescriptor));
    EXPECT_EQ(mService->getInterfaceDescriptor(), String16(kDescriptor));
    sp<IBinder> binder =
            android::IInterface::asBinder(static_cast<ITarnDebugService*>(mService.get()));
    EXPECT_EQ(binder->getInterfaceDescriptor(), String16(kDescriptor));
}

TEST_F(BinderTest, QueryLocalInterface) {
    sp<android::IInterface> self = mService->queryLocalInterface(String16(kDescriptor));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self.get(), static_cast<android::IInterface*>(mService.get()));

    const char16_t withNul[] = {u'q', u'u', u'o', u'r', u'l', u'.', u'k', u'e',
                                u'z', u'.', u't', u'a', u'r', u'n', u'd', 0};
    const std::vector<String16> others = {
            String16(""),
            String16("quorl.kez.tarn"),
            String16("q"),
            String16("quorl.kez.tarndx"),
            String16("Quorl.kez.tarnd"),
            String16(" quorl.kez.tarnd"),
            String16(withNul, 16),
            String16("android.os.IServiceManager"),
    };
    for (const String16& name : others) {
        EXPECT_EQ(mService->queryLocalInterface(name), nullptr) << String8(name).string();
    }
}

}  // namespace
