// Host stand-in for libbinder's interface glue.
#pragma once

#include <binder/Binder.h>

namespace android {

class IInterface : public virtual RefBase {
  public:
    IInterface();
    static sp<IBinder> asBinder(const IInterface* iface);
    static sp<IBinder> asBinder(const sp<IInterface>& iface);

  protected:
    virtual ~IInterface();
    virtual IBinder* onAsBinder() = 0;
};

template <typename INTERFACE>
class BnInterface : public INTERFACE, public BBinder {
  public:
    virtual sp<IInterface> queryLocalInterface(const String16& _descriptor);
    virtual const String16& getInterfaceDescriptor() const;

  protected:
    virtual IBinder* onAsBinder();
};

template <typename INTERFACE>
inline sp<IInterface> BnInterface<INTERFACE>::queryLocalInterface(const String16& _descriptor) {
    if (_descriptor == INTERFACE::descriptor) return sp<IInterface>(static_cast<INTERFACE*>(this));
    return nullptr;
}

template <typename INTERFACE>
inline const String16& BnInterface<INTERFACE>::getInterfaceDescriptor() const {
    return INTERFACE::descriptor;
}

template <typename INTERFACE>
IBinder* BnInterface<INTERFACE>::onAsBinder() {
    return this;
}

}  // namespace android
