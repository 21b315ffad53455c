// Host-only: what tests set in the service manager stand-in (binder/IServiceManager.h).
#pragma once

#include <sys/types.h>
#include <utils/Errors.h>
#include <utils/String16.h>

namespace tarnd_host {

/// Test seams of the process-wide registry behind defaultServiceManager().
class ServiceRegistry {
  public:
    // Drops every service (its reference with it), the failure set for the next add and every
    // grant.
    static void reset();
    // The next addService returns status and registers nothing; later ones work again.
    static void failNextAdd(android::status_t status);
    // uid holds permission from now on, whatever pid it calls from. No uid, not even root or
    // this process's, holds a permission that was not granted.
    static void grantPermission(const android::String16& permission, uid_t uid);
};

}  // namespace tarnd_host
