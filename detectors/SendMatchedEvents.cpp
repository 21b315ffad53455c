#include "detectors/SendMatchedEvents.h"

#include <log/log.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "detectors/KeywordMatcher.h"
#include "service/TarnDebugService.h"

namespace android {

using tarnd::kLogTag;

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

void sendMatchedEvents(TarnDebugService* service, const char* text) {
    const KeywordMatcher* matcher = service->mKeywordMatcher.get();
    // Only start-up compiles the key words; without them there is nothing to find.
    if (matcher == nullptr || text == nullptr) return;
    const int channel = service->mSockets[0].get();
    matcher->match(text, [channel](const std::string& name) {
        std::string message;
        message.reserve(name.size() + 1);
        message.append(name).push_back('\n');
        // A short or failed write is not retried: the name still counts as sent for this text.
        // No SIGPIPE once shut-down has closed the reading side: the write just fails.
        ssize_t written = send(channel, message.data(), message.size(), MSG_NOSIGNAL);
        (void)written;
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Send msg from channel 1: %s",
                            name.c_str());
    });
}

}  // namespace android
