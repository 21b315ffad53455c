#include "service/TarnDebugService.h"

namespace android {

int32_t TarnDebugService::enableHandlers() { return 0; }
void TarnDebugService::dumpGlobalHandlers(int32_t) {}
int32_t TarnDebugService::dumpHandlers(Event&, int32_t) { return 0; }

}  // namespace android
