// The binder interface of tarnd and its client side, which tools use to reach the daemon through
// the service manager.
#include "service/ITarnDebugService.h"

#include <binder/Parcel.h>

namespace android::tarnd {

/// The client's side: one transaction carrying the event name, answered with a status.
class BpTarnDebugService : public BpInterface<ITarnDebugService> {
  public:
    explicit BpTarnDebugService(const sp<IBinder>& remote)
        : BpInterface<ITarnDebugService>(remote) {}

    status_t sendEvent(const String8& name) override {
        Parcel data, reply;
        data.writeInterfaceToken(ITarnDebugService::getInterfaceDescriptor());
        data.writeString16(String16(name.string()));
        status_t status = remote()->transact(SEND_EVENT, data, &reply);
        if (status != NO_ERROR) return status;
        return reply.readInt32();
    }
};

IMPLEMENT_META_INTERFACE(TarnDebugService, "quorl.kez.tarnd");

}  // namespace android::tarnd
