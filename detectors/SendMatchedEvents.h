#pragma once

namespace android {

class TarnDebugService;

// Writes the name and a newline of every event whose key word the text holds into the internal
// channel, each name at most once per text, in monitor and then event order.
void sendMatchedEvents(TarnDebugService* service, const char* text);

}  // namespace android
