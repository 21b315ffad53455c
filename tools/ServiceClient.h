// The client side of tarnd's binder interface, for tools: the service looked up by its published
// name in the service manager, one event sent through it.
#pragma once

#include <utils/Errors.h>

namespace android::tarnd {

// Asks the service published as serviceName to dump event. NAME_NOT_FOUND when no such service is
// registered; otherwise the status the service (or the transport) answered.
status_t sendEventTo(const char* serviceName, const char* event);

}  // namespace android::tarnd
