// Host-only: acting as another process towards the binder stand-in. No transaction ever comes
// from elsewhere on the host, so a test sets the caller that IPCThreadState reports itself.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace tarnd_host {

/// Test seam: for its lifetime, the current thread serves a call from pid and uid; the caller
/// before it comes back at its end. Scopes nest; each ends on the thread that made it.
class ScopedCallingIdentity {
  public:
    ScopedCallingIdentity(pid_t pid, uid_t uid);
    ~ScopedCallingIdentity();

    ScopedCallingIdentity(const ScopedCallingIdentity&) = delete;
    ScopedCallingIdentity& operator=(const ScopedCallingIdentity&) = delete;

  private:
    int64_t mSaved;
};

}  // namespace tarnd_host
