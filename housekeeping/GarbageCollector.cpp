#include "service/TarnDebugService.h"

namespace android {

void TarnDebugService::collectGarbage() {}

}  // namespace android
