// Defaults of the configuration records. Copies are deep: every field, nested lists included,
// is held by value.
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {
// The level of a record whose section sets none: high enough that every enabled handler runs.
constexpr int32_t kDefaultLevel = 100;
}  // namespace

TarnDebugService::Handler::Handler() : Handler(nullptr, String8()) {}

TarnDebugService::Handler::Handler(TarnDebugService* service, const String8& name)
    : mService(service),
      mName(name),
      mLevel(kDefaultLevel),
      mEnabled(false),
      mTimeout(0),
      mTimeoutSet(false) {}

TarnDebugService::Handler::~Handler() {}

TarnDebugService::Event::Event() : Event(nullptr, String8()) {}

TarnDebugService::Event::Event(TarnDebugService* service, const String8& name)
    : mService(service),
      mName(name),
      mPolicy(1),
      mDumpCount(0),
      mInterval(0),
      mIntervalSet(false),
      mLastDumpAt() {}

TarnDebugService::Monitor::Monitor() : Monitor(nullptr, String8()) {}

TarnDebugService::Monitor::Monitor(TarnDebugService* service, const String8& name)
    : mService(service), mName(name), mLevel(kDefaultLevel), mEnabled(false) {}

TarnDebugService::EventGroup::EventGroup() : EventGroup(nullptr, String8()) {}

TarnDebugService::EventGroup::EventGroup(TarnDebugService* service, const String8& name)
    : mService(service), mName(name) {}

TarnDebugService::HistoryEntry::HistoryEntry() {}

TarnDebugService::HistoryEntry::HistoryEntry(const String8& eventName, const String8& dumpDirName)
    : mEventName(eventName), mDumpDirName(dumpDirName) {}

}  // namespace android::tarnd
