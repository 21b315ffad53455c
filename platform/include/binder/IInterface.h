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
inline sp<INTERFACE> interface_cast(const sp<IBinder>& obj) {
    return INTERFACE::asInterface(obj);
}

template <typename INTERFACE>
class BnInterface : public INTERFACE, public BBinder {
  public:
    virtual sp<IInterface> queryLocalInterface(const String16& _descriptor);
    virtual const String16& getInterfaceDescriptor() const;

  protected:
    virtual IBinder* onAsBinder();
};

template <typename INTERFACE>
class BpInterface : public INTERFACE, public BpRefBase {
  public:
    BpInterface(const sp<IBinder>& remote);

  protected:
    virtual IBinder* onAsBinder();
};

// In an interface's class body. The names are qualified so that an interface in any namespace
// can use it.
#define DECLARE_META_INTERFACE(INTERFACE)                                                         \
    static const ::android::String16 descriptor;                                                  \
    static ::android::sp<I##INTERFACE> asInterface(const ::android::sp<::android::IBinder>& obj); \
    virtual const ::android::String16& getInterfaceDescriptor() const;                            \
    I##INTERFACE();                                                                               \
    virtual ~I##INTERFACE();

// In one source file of the interface, where Bp##INTERFACE is declared. A binder that holds the
// interface in this process is used directly; any other is wrapped in a proxy.
#define IMPLEMENT_META_INTERFACE(INTERFACE, NAME)                              \
    const ::android::String16 I##INTERFACE::descriptor(NAME);                  \
    const ::android::String16& I##INTERFACE::getInterfaceDescriptor() const {  \
        return I##INTERFACE::descriptor;                                       \
    }                                                                          \
    ::android::sp<I##INTERFACE> I##INTERFACE::asInterface(                     \
            const ::android::sp<::android::IBinder>& obj) {                    \
        ::android::sp<I##INTERFACE> intr;                                      \
        if (obj != nullptr) {                                                  \
            intr = static_cast<I##INTERFACE*>(                                 \
                    obj->queryLocalInterface(I##INTERFACE::descriptor).get()); \
            if (intr == nullptr) intr = new Bp##INTERFACE(obj);                \
        }                                                                      \
        return intr;                                                           \
    }                                                                          \
    I##INTERFACE::I##INTERFACE() {}                                            \
    I##INTERFACE::~I##INTERFACE() {}

// In a Bn class's onTransact: a call whose token names another interface is refused.
#define CHECK_INTERFACE(interface, data, reply) \
    if (!(data).checkInterface(this)) {         \
        return ::android::PERMISSION_DENIED;    \
    }

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

template <typename INTERFACE>
inline BpInterface<INTERFACE>::BpInterface(const sp<IBinder>& remote) : BpRefBase(remote) {}

template <typename INTERFACE>
inline IBinder* BpInterface<INTERFACE>::onAsBinder() {
    return remote();
}

}  // namespace android
