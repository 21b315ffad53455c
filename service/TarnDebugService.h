#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/String8.h>
#include <utils/Vector.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "service/CommandRunner.h"
#include "service/DevicePaths.h"
#include "service/ITarnDebugService.h"
#include "service/ServiceStats.h"
#include "service/StatusDump.h"

namespace android::tarnd {

class KeywordMatcher;
class MonitorThread;
class KmsgDetectThread;
class LogcatDetectThread;
class LogGCThread;
class ParseObserver;

/// The one service object: configuration records, the internal event channel, the worker
/// threads, and the local binder that other processes send events to.
class TarnDebugService : public BnInterface<ITarnDebugService> {
  public:
    /// A pair of shell commands: set-up at start, and dump into each dump directory.
    class Handler {
      public:
        Handler();
        Handler(TarnDebugService* service, const String8& name);
        virtual ~Handler();

        TarnDebugService* mService;
        String8 mName;
        String8 mEnableCmd;
        String8 mDumpCmd;
        int32_t mLevel;  // runs only when at most the level in force
        bool mEnabled;
        int32_t mTimeout;  // seconds each command run may take; 0: no limit
        bool mTimeoutSet;  // mTimeout overrides the service's limit only when a line set it
        Vector<String8> mEnableParas;  // one run of mEnableCmd per parameter
        Vector<String8> mDumpParas;    // one run of mDumpCmd per parameter
    };

    /// A named trigger with its own copies of the handlers that collect its logs.
    class Event {
      public:
        Event();
        Event(TarnDebugService* service, const String8& name);

        TarnDebugService* mService;
        Vector<Handler> mHandlers;
        String8 mName;
        int32_t mPolicy;     // 0: dump once; 1: dump every time
        int32_t mDumpCount;  // dumps made for this event
        int32_t mInterval;   // seconds after a dump in which triggers are skipped
        bool mIntervalSet;   // reported only when a line set it
        // Start of the last counted dump; meaningless while mDumpCount is 0.
        std::chrono::steady_clock::time_point mLastDumpAt;
        Vector<String8> mUeventHints;  // TARND_EVENT values that raise it
        Vector<String8> mMatches;      // KEY=VALUE strings that a uevent must all carry to raise it
        Vector<String8> mKeyWords;     // log texts that raise it
    };

    /// A named set of event copies, used only when enabled.
    class Monitor {
      public:
        Monitor();
        Monitor(TarnDebugService* service, const String8& name);

        TarnDebugService* mService;
        String8 mName;
        int32_t mLevel;
        bool mEnabled;
        Vector<Event> mEvents;
    };

    /// A named set of event copies, to add several events to a monitor at once.
    class EventGroup {
      public:
        EventGroup();
        EventGroup(TarnDebugService* service, const String8& name);

        TarnDebugService* mService;
        Vector<Event> mEvents;
        String8 mName;
    };

    /// One dump that was made.
    class HistoryEntry {
      public:
        HistoryEntry();
        HistoryEntry(const String8& eventName, const String8& dumpDirName);

        String8 mEventName;
        String8 mDumpDirName;  // directory name without its path
    };

    /// Paths of the outside world; tests give their own.
    struct Paths {
        const char* configPath = kConfigPath;
        const char* dataPath = kDataPath;  // file system whose free space gates dumps
        const char* kmsgPath = kKmsgPath;
    };

    // Whether construction runs the start-up sequence. kLater leaves the records empty and
    // nothing running, for tools that only parse (the runner can then be replaced first).
    enum class Start { kNow, kLater };

    // Runs the start-up sequence; its status is dropped.
    TarnDebugService();
    explicit TarnDebugService(const Paths& paths, Start when = Start::kNow);
    virtual ~TarnDebugService();

    // Index of the first record named name, or -1.
    template <typename RECORD>
    static ssize_t findByName(const Vector<RECORD>& list, const char* name) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].mName == name) return static_cast<ssize_t>(i);
        }
        return -1;
    }

    // ITarnDebugService and binder glue: service/ServiceBinder.cpp.
    virtual status_t sendEvent(const String8& name);
    virtual sp<IInterface> queryLocalInterface(const String16& name);
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags = 0);
    // Whether the uid may call sendEvent: root, system, shell and the allowed_uid lines. Logs a
    // refusal at most once per kRefusalReportSeconds per uid.
    bool callerAllowed(int32_t uid, int32_t pid);

    // Start-up and shut-down: service/TarnDebugService.cpp.
    status_t start();
    // Registers the service with the service manager under mServiceName, when one is set and
    // the workers run. The caller must hold a strong reference: the manager takes its own.
    void publish();

    // The live status for dumpsys: service/ServiceStatus.cpp.
    virtual status_t dump(int fd, const Vector<String16>& args);
    StatusSnapshot snapshot();
    // Counts under the status lock; names that are no configured event count nowhere.
    void noteTrigger(const char* event, TriggerSource source);
    template <typename UPDATE>
    void updateEventStats(const char* event, UPDATE update) {
        std::lock_guard<std::mutex> lock(mStatsLock);
        auto found = mStats.events.find(event);
        if (found != mStats.events.end()) update(found->second);
    }
    template <typename UPDATE>
    void updateStats(UPDATE update) {
        std::lock_guard<std::mutex> lock(mStatsLock);
        update(mStats);
    }

    // Configuration file parsing: config/ConfigParser.cpp. The section operations continue the
    // tokenizing of the line that parseConfig began; savePtr is the tokenizer's state for that
    // line.
    status_t parseConfig(const char* path);
    status_t parseGlobal(const char* line, char** savePtr);
    status_t parseHandler(Handler& handler, const char* line, char** savePtr);
    status_t parseEvent(Event& event, const char* line, char** savePtr);
    status_t parseMonitor(Monitor& monitor, const char* line, char** savePtr);
    static status_t getValue(const char* line, String8& out);
    // The parser's shared steps: a section or key token matches its word by its beginning
    // ("dumpx" is "dump"), and a number is whatever atoi makes of the value ("512MB" is 512).
    // Members so that mParseObserver sees each of them.
    bool startsWith(const char* token, const char* word);
    status_t getNumber(const char* line, int32_t* number);

    // The configuration report: config/StatusReport.cpp.
    String8 dumpStatus();
    // The report as start-up logs it: one message per line, empty lines dropped.
    std::vector<std::string> statusLines();
    String8 describeHandler(const Handler& handler, int level);
    String8 describeEvent(const Event& event, int level);

    /// What the dump commands of one dump share.
    struct DumpScope {
        const char* event = "";
        int dirFd = -1;  // the commands start in it; -1: in the daemon's own directory
        const std::vector<std::string>* environment = nullptr;  // NAME=VALUE strings, or null
        // Bytes the dump may still write; null: no bound.
        std::function<uint64_t()> spaceLeft;
        bool full = false;  // the space limit was reached: no further command runs
        // Told of a command stopped by its time limit or by the space limit; may be null.
        std::function<void(bool timedOut, bool full)> stats;
    };

    // Handler commands: events/HandlerCommands.cpp.
    void enableHandlers();
    // Without a scope, the dump commands run in the daemon's directory without a space bound.
    void dumpGlobalHandlers(int32_t level, DumpScope* scope = nullptr);
    void dumpHandlers(const Event& event, int32_t level, DumpScope* scope = nullptr);
    // The limit of the handler's command runs: its own when set, else the service's.
    int32_t commandTimeout(const Handler& handler) const;

    // What a trigger of an event would come to, before any dump directory is made.
    enum class Verdict { kDump, kUnknown, kInterval, kOnce };
    Verdict verdict(const char* name, std::chrono::steady_clock::time_point now) const;
    // Index of the last event record named name, or -1.
    ssize_t findEvent(const char* name) const;
    // Makes the dump's own directory below the dump area and opens it; dirName gets its name.
    // Not open on failure, which is logged.
    UniqueFd makeDumpDir(const char* name, const struct tm& tm, String8* dirName);

    // The dump of one event, on the monitor thread: events/EventDump.cpp.
    // A dump raised by a uevent hands its variables to the dump commands in environment.
    void dumpEvent(const char* name, const std::vector<std::string>* environment = nullptr);
    // Hands the files of the directory open as dirFd to libzel; path (ending in "/") prefixes
    // every name reported.
    void reportFileList(const char* name, const char* path, int dirFd);

    // Removes the dump directories beyond the mMaxDumpCount newest:
    // housekeeping/GarbageCollector.cpp.
    void collectGarbage();
    // Removes the entry name of the dump directory root as the collector does, with its lines.
    void removeDump(const char* root, const char* name);
    // Removes dump directories, oldest first, until the dump area holds less than limitBytes;
    // returns its size after (-1 when the area cannot be listed).
    int64_t removeOldestDumps(int64_t limitBytes);
    // Bytes below the dump area.
    int64_t dumpAreaSize();

    std::atomic<int32_t> mStopped;  // written under mLock, read by binder threads without it
    pthread_mutex_t mLock;
    const char* mConfigPath;
    String8 mLogDumpPath;
    String8 mAdditionalConfPath;
    bool mUseAdditionalConf;
    int32_t mMaxDumpCount;
    int32_t mMaxDumpSpace;    // MB
    int32_t mMinFreeSpace;    // MB
    int32_t mCommandTimeout;  // seconds an enable or dump command may take; 0: no limit
    bool mCommandTimeoutSet;  // reported only when a line set it
    Vector<Handler> mGlobalHandlers;
    Vector<Handler> mHandlers;
    Vector<Event> mEvents;
    Vector<Monitor> mMonitors;
    Vector<EventGroup> mEventGroups;
    static constexpr size_t kHistoryKept = 100;
    Vector<HistoryEntry> mHistory;  // the newest kHistoryKept dumps; changed under mStatsLock
    UniqueFd mSockets[2];  // internal channel: 0 is written by every sender, 1 read by the monitor
    bool mMonitorEnabled;
    bool mLogcatGrep;
    bool mKmsgGrep;
    sp<MonitorThread> mMonitorThread;
    sp<KmsgDetectThread> mKmsgThread;
    sp<LogcatDetectThread> mLogcatThread;
    sp<LogGCThread> mLogGCThread;

    const char* mDataPath;  // statfs target for the free-space check
    const char* mKmsgPath;
    // Key words of the enabled monitors, compiled once start-up has fixed the records.
    std::unique_ptr<KeywordMatcher> mKeywordMatcher;
    // Clock of the dump directory names; tests fix it.
    time_t (*mTime)(time_t*);
    // Runs every shell command of the service: the mkdir of the parser and of a dump, the enable
    // and dump commands, the collector's removal. Tests and the checker replace it.
    CommandRunner mRunCommand;
    // Told of the parser's decisions when set; only the configuration checker sets one.
    ParseObserver* mParseObserver;

    String8 mServiceName;               // published under this name; empty: not published
    std::vector<int32_t> mAllowedUids;  // callers of sendEvent beyond root, system and shell
    std::mutex mStatsLock;              // guards mStats, mHistory's changes and mRefusedAt
    ServiceStats mStats;
    std::map<int32_t, std::chrono::steady_clock::time_point> mRefusedAt;  // last report per uid
    std::vector<std::string> mStartupReport;                              // as start-up logged it
    std::chrono::steady_clock::time_point mStartedAt;

  private:
    void init(const Paths& paths);
    void stopWorkers();
};

}  // namespace android::tarnd
