// Host stand-in for libbinder's per-thread state.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <utils/Errors.h>

namespace android {

class IPCThreadState {
  public:
    // One per thread, as on the platform.
    static IPCThreadState* self();

    // The sender of the transaction this thread serves; outside one, this process. Nothing
    // arrives from other processes on the host: only tarnd_host::ScopedCallingIdentity sets it.
    pid_t getCallingPid() const;
    uid_t getCallingUid() const;
    // Makes this process the caller; the token gives the previous caller back.
    int64_t clearCallingIdentity();
    void restoreCallingIdentity(int64_t token);

    // Serves nothing on the host and blocks for the life of the process.
    void joinThreadPool(bool isMain = true);

  private:
    IPCThreadState();
    ~IPCThreadState();

    pid_t mCallingPid;
    uid_t mCallingUid;
};

}  // namespace android
