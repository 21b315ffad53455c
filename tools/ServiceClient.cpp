#include "tools/ServiceClient.h"

#include <binder/IServiceManager.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include "service/ITarnDebugService.h"

namespace android::tarnd {

status_t sendEventTo(const char* serviceName, const char* event) {
    // checkService: a daemon that is not running is reported at once instead of waited for.
    sp<IBinder> binder = defaultServiceManager()->checkService(String16(serviceName));
    sp<ITarnDebugService> service = interface_cast<ITarnDebugService>(binder);
    if (service == nullptr) return NAME_NOT_FOUND;
    return service->sendEvent(String8(event));
}

}  // namespace android::tarnd
