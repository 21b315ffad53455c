// Host stand-in for libbinder's Parcel: a flat little-endian buffer of 4-byte aligned values.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <utils/Errors.h>
#include <utils/String16.h>

#include <vector>

namespace android {

class IBinder;
class IPCThreadState;

class Parcel {
  public:
    Parcel();
    ~Parcel();

    const uint8_t* data() const { return mData.data(); }
    size_t dataSize() const { return mData.size(); }
    size_t dataPosition() const { return mPos; }
    size_t dataAvail() const { return mPos < mData.size() ? mData.size() - mPos : 0; }
    void setDataPosition(size_t pos) const { mPos = pos; }
    void freeData();

    // The token: the caller's strict-mode policy, then the interface descriptor.
    status_t writeInterfaceToken(const String16& interface);
    bool enforceInterface(const String16& interface, IPCThreadState* threadState = nullptr) const;
    bool checkInterface(IBinder* binder) const;

    status_t writeInt32(int32_t val);
    status_t writeString16(const String16& str);
    status_t writeString16(const char16_t* str, size_t len);
    // In-process there is nothing to pass across: the number itself travels. With
    // takeOwnership the parcel closes fd when it is freed.
    status_t writeFileDescriptor(int fd, bool takeOwnership = false);

    status_t readInt32(int32_t* pArg) const;
    int32_t readInt32() const;
    // A null or malformed string reads as empty.
    String16 readString16() const;
    const char16_t* readString16Inplace(size_t* outLen) const;
    // Not the reader's to close; BAD_TYPE when the next value is no file descriptor.
    int readFileDescriptor() const;

  private:
    Parcel(const Parcel&) = delete;
    Parcel& operator=(const Parcel&) = delete;

    const void* readInplace(size_t len) const;
    void* writeInplace(size_t len);

    std::vector<uint8_t> mData;
    mutable size_t mPos;
    std::vector<int> mOwnedFds;
};

}  // namespace android
