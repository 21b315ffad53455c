#include "service/TarnDebugService.h"

namespace android {

String8 TarnDebugService::dumpStatus() { return String8(); }
String8 TarnDebugService::describeHandler(const Handler&, int) { return String8(); }
String8 TarnDebugService::describeEvent(const Event&, int) { return String8(); }

}  // namespace android
