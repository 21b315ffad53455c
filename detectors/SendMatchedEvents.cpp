#include "detectors/SendMatchedEvents.h"

#include <log/log.h>

#include <string>

#include "detectors/KeywordMatcher.h"
#include "events/ChannelReader.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

std::vector<KeywordMatcher::Entry> keywordEntries(const TarnDebugService& service) {
    std::vector<KeywordMatcher::Entry> entries;
    for (const TarnDebugService::Monitor& monitor : service.mMonitors) {
        if (!monitor.mEnabled) continue;
        for (const TarnDebugService::Event& event : monitor.mEvents) {
            KeywordMatcher::Entry entry;
            entry.name = event.mName.string();
            for (const String8& keyWord : event.mKeyWords)
                entry.keywords.push_back(keyWord.string());
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

void sendMatchedEvents(TarnDebugService* service, const char* text, TriggerSource source) {
    const KeywordMatcher* matcher = service->mKeywordMatcher.get();
    // Only start-up compiles the key words; without them there is nothing to find.
    if (matcher == nullptr || text == nullptr) return;
    const int channel = service->mSockets[0].get();
    matcher->match(text, [service, channel, source](const std::string& name) {
        // A lost write still counts as sent for this text.
        sendChannelName(channel, name);
        service->noteTrigger(name.c_str(), source);
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Send msg from channel 1: %s",
                            name.c_str());
    });
}

}  // namespace android::tarnd
