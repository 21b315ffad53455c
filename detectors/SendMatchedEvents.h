#pragma once

#include <vector>

#include "detectors/KeywordMatcher.h"
#include "service/ServiceStats.h"

namespace android::tarnd {

class TarnDebugService;

// The event copies of the enabled monitors with their key words, in the order they are matched.
std::vector<KeywordMatcher::Entry> keywordEntries(const TarnDebugService& service);

// Writes the name and a newline of every event whose key word the text holds into the internal
// channel, each name at most once per text, in monitor and then event order.
// The triggers count for source.
void sendMatchedEvents(TarnDebugService* service, const char* text, TriggerSource source);

}  // namespace android::tarnd
