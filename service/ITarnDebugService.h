#pragma once

#include <binder/IInterface.h>
#include <utils/String16.h>
#include <utils/String8.h>

namespace android::tarnd {

/// The binder interface through which other processes hand tarnd an event by name.
class ITarnDebugService : public IInterface {
  public:
    enum {
        SEND_EVENT = IBinder::FIRST_CALL_TRANSACTION,
    };

    // Written out rather than by the meta-interface macros, which newer platforms keep for
    // interfaces generated from AIDL.
    static const String16 descriptor;
    // The service itself when the binder lives in this process, else a proxy; null for null.
    static sp<ITarnDebugService> asInterface(const sp<IBinder>& binder);
    virtual const String16& getInterfaceDescriptor() const;

    // Queues the named event for a dump; INVALID_OPERATION while the service is not running.
    virtual status_t sendEvent(const String8& name) = 0;
};

}  // namespace android::tarnd
