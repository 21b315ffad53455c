// The service's side of the binder interface: the one transaction that hands an event name to the
// monitor thread through the internal channel, and who may call it.
#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>
#include <log/log.h>
#include <string.h>
#include <utils/Unicode.h>

#include <string>

#include "events/ChannelReader.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

sp<IInterface> TarnDebugService::queryLocalInterface(const String16& name) {
    // strzcmp16 alone takes a name that only adds a NUL unit for the descriptor.
    if (name.size() == descriptor.size() &&
        strzcmp16(name.string(), name.size(), descriptor.string(), descriptor.size()) == 0) {
        return sp<IInterface>(static_cast<ITarnDebugService*>(this));
    }
    return nullptr;
}

status_t TarnDebugService::onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    if (code != SEND_EVENT) return BBinder::onTransact(code, data, reply, flags);
    if (!data.checkInterface(this)) return PERMISSION_DENIED;
    IPCThreadState* ipc = IPCThreadState::self();
    if (!callerAllowed(static_cast<int32_t>(ipc->getCallingUid()),
                       static_cast<int32_t>(ipc->getCallingPid()))) {
        if (reply != nullptr) reply->writeInt32(PERMISSION_DENIED);
        return NO_ERROR;
    }
    String8 name(data.readString16());
    status_t status = sendEvent(name);
    if (reply != nullptr) reply->writeInt32(status);
    return NO_ERROR;
}

status_t TarnDebugService::sendEvent(const String8& name) {
    if (mStopped != 0) return INVALID_OPERATION;
    size_t len = strlen(name.string());
    // The reader drops such a name anyway, and a write this large could reach the stream in
    // pieces, with the names of other writers between them.
    if (len > ChannelReader::kMaxNameLength) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "Event name of %zu bytes is too long, not sent", len);
        return BAD_VALUE;
    }
    if (len > 0) {
        sendChannelName(mSockets[0].get(), std::string(name.string(), len));
        noteTrigger(name.string(), TriggerSource::kBinder);
    }
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Send event %s thru tarnd service",
                        name.string());
    return NO_ERROR;
}

}  // namespace android::tarnd
