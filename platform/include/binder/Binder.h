// Host stand-in for libbinder's local binder object.
#pragma once

#include <binder/IBinder.h>

namespace android {

class BBinder : public IBinder {
  public:
    BBinder();

    virtual const String16& getInterfaceDescriptor() const;
    // Writes nothing; services that have something to show override it.
    virtual status_t dump(int fd, const Vector<String16>& args);
    virtual status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0);
    virtual BBinder* localBinder();

  protected:
    virtual ~BBinder();

    // Default handling: the interface query and dump, everything else is an unknown transaction.
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags = 0);
};

// Base of a proxy: holds the binder that its calls go to. On the host that binder is the local
// object itself, so a proxy's transact runs the object's onTransact in the calling thread.
class BpRefBase : public virtual RefBase {
  protected:
    BpRefBase(const sp<IBinder>& o);
    virtual ~BpRefBase();

    inline IBinder* remote() { return mRemote.get(); }
    inline IBinder* remote() const { return mRemote.get(); }

  private:
    BpRefBase(const BpRefBase& o) = delete;
    BpRefBase& operator=(const BpRefBase& o) = delete;

    const sp<IBinder> mRemote;
};

}  // namespace android
