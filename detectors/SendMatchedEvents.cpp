#include "detectors/SendMatchedEvents.h"

namespace android {

void sendMatchedEvents(TarnDebugService*, const char*) {}

}  // namespace android
