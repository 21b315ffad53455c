#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <tarnd_host/ServiceRegistry.h>

#include <mutex>
#include <utility>
#include <vector>

namespace android {

namespace {

struct Registration {
    String16 name;
    sp<IBinder> service;
    bool allowIsolated;
};

struct Grant {
    String16 permission;
    uid_t uid;
};

// Everything the seams reach; its references are dropped outside the lock, since a service that
// goes with them may call back in from its destructor.
struct Registry {
    std::mutex lock;
    std::vector<Registration> services;
    std::vector<Grant> grants;
    bool failNextAdd = false;
    status_t failStatus = NO_ERROR;
};

Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}

class HostServiceManager : public BnInterface<IServiceManager> {
  public:
    sp<IBinder> getService(const String16& name) const override { return checkService(name); }

    sp<IBinder> checkService(const String16& name) const override {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (const Registration& reg : r.services) {
            if (reg.name == name) return reg.service;
        }
        return nullptr;
    }

    status_t addService(const String16& name, const sp<IBinder>& service,
                        bool allowIsolated) override {
        if (service == nullptr || name.size() == 0) return BAD_VALUE;
        sp<IBinder> replaced;
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.failNextAdd) {
            r.failNextAdd = false;
            return r.failStatus;
        }
        for (Registration& reg : r.services) {
            if (reg.name == name) {
                replaced = reg.service;
                reg.service = service;
                reg.allowIsolated = allowIsolated;
                return NO_ERROR;
            }
        }
        r.services.push_back(Registration{name, service, allowIsolated});
        return NO_ERROR;
    }

    Vector<String16> listServices() override {
        Vector<String16> names;
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (const Registration& reg : r.services) names.add(reg.name);
        return names;
    }
};

}  // namespace

const String16 IServiceManager::descriptor("android.os.IServiceManager");

const String16& IServiceManager::getInterfaceDescriptor() const { return descriptor; }

// No service manager lives in another process on the host, so there is no proxy to make.
sp<IServiceManager> IServiceManager::asInterface(const sp<IBinder>& obj) {
    if (obj == nullptr) return nullptr;
    return static_cast<IServiceManager*>(obj->queryLocalInterface(descriptor).get());
}

IServiceManager::IServiceManager() {}
IServiceManager::~IServiceManager() {}

sp<IServiceManager> defaultServiceManager() {
    // Kept for the life of the process, as the platform's is.
    static IServiceManager* instance = [] {
        IServiceManager* sm = new HostServiceManager();
        sm->incStrong(nullptr);
        return sm;
    }();
    return instance;
}

bool checkCallingPermission(const String16& permission) {
    return checkCallingPermission(permission, nullptr, nullptr);
}

bool checkCallingPermission(const String16& permission, int32_t* outPid, int32_t* outUid) {
    IPCThreadState* state = IPCThreadState::self();
    pid_t pid = state->getCallingPid();
    uid_t uid = state->getCallingUid();
    if (outPid) *outPid = pid;
    if (outUid) *outUid = static_cast<int32_t>(uid);
    return checkPermission(permission, pid, uid);
}

bool checkPermission(const String16& permission, pid_t /*pid*/, uid_t uid) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const Grant& grant : r.grants) {
        if (grant.uid == uid && grant.permission == permission) return true;
    }
    return false;
}

}  // namespace android

namespace tarnd_host {

void ServiceRegistry::reset() {
    std::vector<android::Registration> dropped;
    {
        android::Registry& r = android::registry();
        std::lock_guard<std::mutex> guard(r.lock);
        dropped.swap(r.services);
        r.grants.clear();
        r.failNextAdd = false;
    }
}

void ServiceRegistry::failNextAdd(android::status_t status) {
    android::Registry& r = android::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.failNextAdd = true;
    r.failStatus = status;
}

void ServiceRegistry::grantPermission(const android::String16& permission, uid_t uid) {
    android::Registry& r = android::registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.grants.push_back(android::Grant{permission, uid});
}

}  // namespace tarnd_host
