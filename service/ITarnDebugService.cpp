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

const String16 ITarnDebugService::descriptor("quorl.kez.tarnd");

const String16& ITarnDebugService::getInterfaceDescriptor() const { return descriptor; }

sp<ITarnDebugService> ITarnDebugService::asInterface(const sp<IBinder>& binder) {
    if (binder == nullptr) return nullptr;
    sp<IInterface> local = binder->queryLocalInterface(descriptor);
    if (local != nullptr) return static_cast<ITarnDebugService*>(local.get());
    return new BpTarnDebugService(binder);
}

}  // namespace android::tarnd
