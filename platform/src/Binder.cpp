#include <binder/Binder.h>
#include <binder/IInterface.h>
#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <string.h>
#include <tarnd_host/CallingIdentity.h>
#include <unistd.h>

namespace android {

namespace {
// What a caller's interface token carries before the descriptor.
constexpr int32_t kStrictModePenaltyGather = 1 << 31;
// Marks a descriptor among plain values, with the kernel's tag for one.
constexpr int32_t kFdTag = B_PACK_CHARS('f', 'd', '*', 0x85);
}  // namespace

IBinder::IBinder() {}
IBinder::~IBinder() {}
sp<IInterface> IBinder::queryLocalInterface(const String16& /*descriptor*/) { return nullptr; }
BBinder* IBinder::localBinder() { return nullptr; }

BBinder::BBinder() {}
BBinder::~BBinder() {}

const String16& BBinder::getInterfaceDescriptor() const {
    static const String16* empty = new String16();
    return *empty;
}

BBinder* BBinder::localBinder() { return this; }

status_t BBinder::dump(int /*fd*/, const Vector<String16>& /*args*/) { return NO_ERROR; }

status_t BBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    data.setDataPosition(0);
    status_t err = NO_ERROR;
    if (code == PING_TRANSACTION) {
        if (reply) reply->writeInt32(NO_ERROR);
    } else {
        err = onTransact(code, data, reply, flags);
    }
    if (reply) reply->setDataPosition(0);
    return err;
}

status_t BBinder::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t /*flags*/) {
    if (code == INTERFACE_TRANSACTION) {
        if (reply) reply->writeString16(getInterfaceDescriptor());
        return NO_ERROR;
    }
    if (code == DUMP_TRANSACTION) {
        // As dumpsys sends it: the file descriptor, the argument count, then each argument.
        int fd = data.readFileDescriptor();
        int32_t argc = data.readInt32();
        Vector<String16> args;
        for (int32_t i = 0; i < argc && data.dataAvail() > 0; ++i) args.add(data.readString16());
        return dump(fd, args);
    }
    return UNKNOWN_TRANSACTION;
}

BpRefBase::BpRefBase(const sp<IBinder>& o) : mRemote(o) {}
BpRefBase::~BpRefBase() {}

IInterface::IInterface() {}
IInterface::~IInterface() {}

sp<IBinder> IInterface::asBinder(const IInterface* iface) {
    if (iface == nullptr) return nullptr;
    return const_cast<IInterface*>(iface)->onAsBinder();
}

sp<IBinder> IInterface::asBinder(const sp<IInterface>& iface) {
    if (iface == nullptr) return nullptr;
    return iface->onAsBinder();
}

Parcel::Parcel() : mPos(0) {}
Parcel::~Parcel() { freeData(); }

void Parcel::freeData() {
    for (int fd : mOwnedFds) close(fd);
    mOwnedFds.clear();
    mData.clear();
    mPos = 0;
}

void* Parcel::writeInplace(size_t len) {
    size_t padded = (len + 3) & ~size_t(3);
    if (mPos > mData.size()) mPos = mData.size();
    if (mPos + padded > mData.size()) mData.resize(mPos + padded, 0);
    void* out = mData.data() + mPos;
    mPos += padded;
    return out;
}

const void* Parcel::readInplace(size_t len) const {
    size_t padded = (len + 3) & ~size_t(3);
    if (padded < len || mPos > mData.size() || mData.size() - mPos < padded) return nullptr;
    const void* out = mData.data() + mPos;
    mPos += padded;
    return out;
}

status_t Parcel::writeInt32(int32_t val) {
    memcpy(writeInplace(sizeof(val)), &val, sizeof(val));
    return NO_ERROR;
}

status_t Parcel::readInt32(int32_t* pArg) const {
    const void* p = readInplace(sizeof(int32_t));
    if (p == nullptr) return NOT_ENOUGH_DATA;
    memcpy(pArg, p, sizeof(int32_t));
    return NO_ERROR;
}

int32_t Parcel::readInt32() const {
    int32_t v = 0;
    readInt32(&v);
    return v;
}

status_t Parcel::writeString16(const String16& str) {
    return writeString16(str.string(), str.size());
}

status_t Parcel::writeString16(const char16_t* str, size_t len) {
    if (str == nullptr) return writeInt32(-1);
    writeInt32(static_cast<int32_t>(len));
    size_t bytes = (len + 1) * sizeof(char16_t);
    char16_t* out = static_cast<char16_t*>(writeInplace(bytes));
    memcpy(out, str, len * sizeof(char16_t));
    out[len] = 0;
    return NO_ERROR;
}

status_t Parcel::writeFileDescriptor(int fd, bool takeOwnership) {
    if (fd < 0) return BAD_VALUE;
    writeInt32(kFdTag);
    writeInt32(fd);
    if (takeOwnership) mOwnedFds.push_back(fd);
    return NO_ERROR;
}

int Parcel::readFileDescriptor() const {
    size_t start = mPos;
    int32_t tag = 0;
    int32_t fd = -1;
    if (readInt32(&tag) != NO_ERROR || tag != kFdTag || readInt32(&fd) != NO_ERROR) {
        mPos = start;
        return BAD_TYPE;
    }
    return fd;
}

const char16_t* Parcel::readString16Inplace(size_t* outLen) const {
    int32_t len = 0;
    size_t start = mPos;
    if (readInt32(&len) != NO_ERROR || len < 0) {
        *outLen = 0;
        return nullptr;
    }
    size_t bytes = (static_cast<size_t>(len) + 1) * sizeof(char16_t);
    const char16_t* str = static_cast<const char16_t*>(readInplace(bytes));
    if (str == nullptr || str[len] != 0) {
        mPos = start;
        *outLen = 0;
        return nullptr;
    }
    *outLen = static_cast<size_t>(len);
    return str;
}

String16 Parcel::readString16() const {
    size_t len = 0;
    const char16_t* str = readString16Inplace(&len);
    if (str == nullptr) return String16();
    return String16(str, len);
}

status_t Parcel::writeInterfaceToken(const String16& interface) {
    writeInt32(kStrictModePenaltyGather);
    return writeString16(interface);
}

bool Parcel::enforceInterface(const String16& interface, IPCThreadState* /*threadState*/) const {
    int32_t policy = 0;
    if (readInt32(&policy) != NO_ERROR) return false;
    size_t len = 0;
    const char16_t* str = readString16Inplace(&len);
    return str != nullptr && len == interface.size() &&
           memcmp(str, interface.string(), len * sizeof(char16_t)) == 0;
}

bool Parcel::checkInterface(IBinder* binder) const {
    return enforceInterface(binder->getInterfaceDescriptor());
}

ProcessState::ProcessState() {}
ProcessState::~ProcessState() {}

sp<ProcessState> ProcessState::self() {
    // One per process, kept for its whole life.
    static ProcessState* instance = [] {
        ProcessState* p = new ProcessState();
        p->incStrong(nullptr);
        return p;
    }();
    return instance;
}

void ProcessState::startThreadPool() {}

namespace {
// Callers only hand the token back; it holds the uid high and the pid low.
int64_t identityToken(pid_t pid, uid_t uid) {
    return static_cast<int64_t>((static_cast<uint64_t>(uid) << 32) | static_cast<uint32_t>(pid));
}
}  // namespace

IPCThreadState::IPCThreadState() : mCallingPid(getpid()), mCallingUid(getuid()) {}
IPCThreadState::~IPCThreadState() {}

IPCThreadState* IPCThreadState::self() {
    static thread_local IPCThreadState state;
    return &state;
}

pid_t IPCThreadState::getCallingPid() const { return mCallingPid; }
uid_t IPCThreadState::getCallingUid() const { return mCallingUid; }

int64_t IPCThreadState::clearCallingIdentity() {
    int64_t token = identityToken(mCallingPid, mCallingUid);
    mCallingPid = getpid();
    mCallingUid = getuid();
    return token;
}

void IPCThreadState::restoreCallingIdentity(int64_t token) {
    mCallingUid = static_cast<uid_t>(static_cast<uint64_t>(token) >> 32);
    mCallingPid = static_cast<pid_t>(static_cast<uint32_t>(token));
}

void IPCThreadState::joinThreadPool(bool /*isMain*/) {
    for (;;) pause();
}

}  // namespace android

namespace tarnd_host {

ScopedCallingIdentity::ScopedCallingIdentity(pid_t pid, uid_t uid) {
    android::IPCThreadState* state = android::IPCThreadState::self();
    mSaved = state->clearCallingIdentity();
    state->restoreCallingIdentity(android::identityToken(pid, uid));
}

ScopedCallingIdentity::~ScopedCallingIdentity() {
    android::IPCThreadState::self()->restoreCallingIdentity(mSaved);
}

}  // namespace tarnd_host
