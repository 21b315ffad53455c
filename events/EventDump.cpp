#include "service/TarnDebugService.h"

namespace android {

void TarnDebugService::dumpEvent(const char*) {}
int32_t TarnDebugService::reportFileList(const char*, const char*) { return 0; }

}  // namespace android
