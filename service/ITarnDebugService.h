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

    DECLARE_META_INTERFACE(TarnDebugService)

    // Queues the named event for a dump; INVALID_OPERATION while the service is not running.
    virtual status_t sendEvent(const String8& name) = 0;
};

}  // namespace android::tarnd
