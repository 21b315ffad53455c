#include <log/log.h>
#include <stdio.h>

#include "service/TarnDebugService.h"

namespace android {

using tarnd::kLogTag;

status_t TarnDebugService::parseConfig(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to open config file %s", path);
        return UNKNOWN_ERROR;
    }
    fclose(file);
    return NO_ERROR;
}

status_t TarnDebugService::parseGlobal(const char*, char**) { return NO_ERROR; }
status_t TarnDebugService::parseHandler(Handler&, const char*, char**) { return NO_ERROR; }
status_t TarnDebugService::parseEvent(Event&, const char*, char**) { return NO_ERROR; }
status_t TarnDebugService::parseMonitor(Monitor&, const char*, char**) { return NO_ERROR; }
status_t TarnDebugService::getValue(const char*, String8&) { return NO_ERROR; }

}  // namespace android
