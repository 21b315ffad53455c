#include "tools/ConfigCheck.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "config/ConfigFile.h"
#include "config/ParseObserver.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

using Service = TarnDebugService;

/// A line of a file.
struct Where {
    std::string file;
    int line = 0;
};

// A value as it can stand inside a one-line finding: quoted, control bytes escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            out.append("\\x").push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xf]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

// Digits with an optional sign, within what a 32-bit number holds: nothing for atoi to drop.
bool plainInteger(const char* value) {
    const char* digits = value + (*value == '-' || *value == '+' ? 1 : 0);
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) return false;
    errno = 0;
    long long number = strtoll(value, nullptr, 10);
    return errno == 0 && number >= INT32_MIN && number <= INT32_MAX;
}

bool isSwitch(const char* word) {
    for (const char* s : {"on", "enable", "logcat_grep", "kmsg_grep"}) {
        if (strcmp(word, s) == 0) return true;
    }
    return false;
}

bool holds(const Vector<String8>& list, const String8& value) {
    for (const String8& item : list) {
        if (item == value) return true;
    }
    return false;
}

bool blankAt(const std::string& name, size_t at) { return name[at] == ' ' || name[at] == '\t'; }

constexpr const char* kRelative =
        " is relative: the daemon resolves it against its own working directory, / on a device";

/// Follows a parse line by line and collects what the parser does quietly.
class Checker : public ParseObserver {
  public:
    void beginFile(const std::string& path) {
        mHere.file = path;
        mHere.line = 0;
    }

    // The parse of the current file ended with status; its last line is complete.
    void endFile(status_t status) {
        if (status == NO_ERROR) {
            checkPolicy();
        } else if (mHere.line == 0) {
            error(mHere, "the daemon cannot open the file");
        } else {
            error(mHere, "the parse fails here: the daemon watches for no event");
        }
    }

    void onLine(const char* line, size_t length, bool tooLong) override {
        checkPolicy();
        ++mHere.line;
        mLine = line;
        mWord = nullptr;
        mWords = 0;
        if (tooLong) {
            warn(mHere, "line of " + std::to_string(length) +
                                " bytes: the daemon skips lines of 1023 characters or more "
                                "silently");
        } else if (mLine.size() < length) {
            warn(mHere, "the line holds a NUL byte: the daemon reads it only up to there");
        }
    }

    void onWord(const char* token, const char* word) override {
        const char* rest = token + strlen(word);
        rest += strspn(rest, " ");
        if (*rest != '\0' && *rest != '=' && *rest != '\n') {
            std::string name(token, strcspn(token, "=\n"));
            warn(mHere,
                 quoted(name) + " is read as " + quoted(word) + ": words match by their beginning");
        }
        if (mWord == nullptr) mSection = word;
        mWord = word;
        if (++mWords == 2) noteCopy(word);
        mKeyLines[word] = mHere;
        if (strcmp(word, "key_word") == 0 && mFirstKeyWord.line == 0) mFirstKeyWord = mHere;
        if (strcmp(word, "policy") == 0) mPolicyLine = mLine;
    }

    void onUnknownSection(const char* token) override {
        warn(mHere, "section word " + quoted(token) + " is unknown: the daemon skips this line");
    }

    void onRecord(const char* name) override {
        std::string text(name);
        if (!text.empty() && (blankAt(text, 0) || blankAt(text, text.size() - 1))) {
            warn(mHere,
                 "name " + quoted(text) + " has blanks at an end, which make it another name");
        }
        if (mSection != nullptr) mRecordLines.emplace(std::make_pair(mSection, text), mHere);
        mRecord = text;
    }

    void onNumber(const char* value, int32_t number) override {
        if (mWord == nullptr) return;
        if (number <= 0 &&
            (strcmp(mWord, "timeout") == 0 || strcmp(mWord, "command_timeout") == 0)) {
            warn(mHere, quoted(mWord) + " " + std::to_string(number) +
                                " means no limit: a hung command holds every later event back");
        }
        if (plainInteger(value)) return;
        std::string uses = std::to_string(number);
        if (isSwitch(mWord)) uses += number != 0 ? " (on)" : " (off)";
        warn(mHere, "value " + quoted(value) + " of " + quoted(mWord) +
                            " is not a plain integer: the daemon reads " + uses);
    }

    // Findings on the records as a whole, once every file is read.
    void checkRecords(const Service& s, const std::string& mainFile);

    const Where& here() const { return mHere; }
    const std::vector<std::string>& findings() const { return mFindings; }
    bool hasError() const { return mError; }

    void error(const Where& at, const std::string& text) {
        mError = true;
        add(at, "error", text);
    }
    void warn(const Where& at, const std::string& text) { add(at, "warning", text); }

  private:
    void add(const Where& at, const char* kind, const std::string& text) {
        mFindings.push_back(at.file + ":" + std::to_string(at.line > 0 ? at.line : 1) + ": " +
                            kind + ": " + text);
    }

    // The policy line read last went through, so its value is there to be read again.
    void checkPolicy() {
        if (mPolicyLine.empty()) return;
        String8 value;
        if (Service::getValue(mPolicyLine.c_str(), value) == NO_ERROR && value != "once" &&
            value != "every") {
            warn(mHere, "policy " + quoted(value.string()) +
                                " is neither \"once\" nor \"every\": the daemon dumps every time");
        }
        mPolicyLine.clear();
    }

    Where recordLine(const char* section, const String8& name) const {
        auto found = mRecordLines.find(std::make_pair(section, std::string(name.string())));
        return found == mRecordLines.end() ? mHere : found->second;
    }

    // The key word of a line: a monitor or a group taking an event's copy, or a line changing an
    // event whose copies were taken already.
    void noteCopy(const char* key);
    void checkLateLines(const Service& s);
    void checkEvents(const Service& s);
    void checkHandlers(const Service& s);
    void checkGlobal(const Service& s, const std::string& mainFile);

    Where mHere;
    std::string mLine;                       // the current line up to its first NUL
    const char* mWord = nullptr;             // the word the current line matched last
    const char* mSection = nullptr;          // the section word of the current line
    int mWords = 0;                          // words the current line matched so far
    std::string mRecord;                     // the record the current line sets
    std::string mPolicyLine;                 // a policy line whose value is still to be looked at
    std::map<std::string, Where> mKeyLines;  // the last line that matched each word
    Where mFirstKeyWord;
    std::map<std::pair<std::string, std::string>, Where> mRecordLines;  // first lines by section
    std::vector<std::string> mFindings;
    bool mError = false;
    /// A monitor or a group that took a copy of an event.
    struct Copy {
        bool monitor;
        std::string name;
    };
    std::map<std::string, std::vector<Copy>> mCopies;  // by event name
    /// A line that changed an event after copies of it were taken.
    struct LateLine {
        Where at;
        std::string event;
        const char* key;
        std::vector<Copy> copies;
    };
    std::vector<LateLine> mLateLines;
};

void Checker::noteCopy(const char* key) {
    if (strcmp(mSection, "event") != 0) {
        bool monitor = strcmp(mSection, "monitor") == 0;
        String8 event;
        if ((monitor || strcmp(mSection, "evtgroup") == 0) && strcmp(key, "event") == 0 &&
            Service::getValue(mLine.c_str(), event) == NO_ERROR) {
            mCopies[event.string()].push_back(Copy{monitor, mRecord});
        }
        return;
    }
    auto copies = mCopies.find(mRecord);
    if (copies != mCopies.end())
        mLateLines.push_back(LateLine{mHere, mRecord, key, copies->second});
}

void Checker::checkLateLines(const Service& s) {
    // What a copy without the line's change comes to, by the key of the line.
    static const std::map<std::string, const char*> kMisses = {
            {"handler", "the handler's set-up command never runs, and the report does not show it"},
            {"policy", "the policy applies, but the report does not show it"},
            {"interval", "the interval applies, but the report does not show it"},
            {"key_word", "no detector looks for this key word"},
            {"uevent", "no uevent raises the event by this hint"},
            {"match", "no uevent raises the event by this match"},
    };
    for (const LateLine& late : mLateLines) {
        auto misses = kMisses.find(late.key);
        if (misses == kMisses.end()) continue;
        for (const Copy& copy : late.copies) {
            ssize_t monitor = Service::findByName(s.mMonitors, copy.name.c_str());
            // A monitor that stays off never uses its copy.
            if (copy.monitor &&
                (monitor < 0 || !s.mMonitors[static_cast<size_t>(monitor)].mEnabled)) {
                continue;
            }
            warn(late.at, std::string(copy.monitor ? "monitor " : "event group ") +
                                  quoted(copy.name) + " took its copy of event " +
                                  quoted(late.event) +
                                  " before this line, so the copy misses it: " + misses->second);
            break;
        }
    }
}

void Checker::checkRecords(const Service& s, const std::string& mainFile) {
    bool enabled = false;
    for (const Service::Monitor& monitor : s.mMonitors) enabled = enabled || monitor.mEnabled;
    if (!enabled) {
        Where at{mainFile, 1};
        if (!s.mMonitors.isEmpty()) at = recordLine("monitor", s.mMonitors[0].mName);
        error(at, "no monitor is enabled: the daemon watches for no event");
    }
    checkGlobal(s, mainFile);
    checkLateLines(s);
    checkEvents(s);
    checkHandlers(s);
}

void Checker::checkGlobal(const Service& s, const std::string& mainFile) {
    const char* dumpPath = s.mLogDumpPath.string();
    if (dumpPath[0] == '\0') {
        warn(Where{mainFile, 1}, "log_dump_path is not set: dumps go to the root directory");
    } else if (dumpPath[0] != '/') {
        warn(mKeyLines["log_dump_path"], "log_dump_path " + quoted(dumpPath) + kRelative);
    }
    const char* extra = s.mAdditionalConfPath.string();
    if (extra[0] != '\0' && extra[0] != '/') {
        warn(mKeyLines["additional_conf_path"], "additional_conf_path " + quoted(extra) +
                                                        kRelative +
                                                        "; this check read it from here");
    }
    if (extra[0] != '\0' && !s.mUseAdditionalConf) {
        const Where& at = mKeyLines["additional_conf_path"];
        std::string kind;
        openConfigFile(extra, &kind);
        if (!kind.empty()) {
            error(at, quoted(extra) + " is " + kind +
                              ", not a regular file: the daemon refuses to read it");
        } else {
            warn(at, "additional_conf_path " + quoted(extra) +
                             " cannot be opened: the daemon reads no second file");
        }
    }
    if (s.mMaxDumpCount <= 0) {
        warn(mKeyLines["max_dump_count"], "max_dump_count " + std::to_string(s.mMaxDumpCount) +
                                                  " keeps every dump: the collector removes none");
    }
    if (!s.mKmsgGrep && !s.mLogcatGrep && mFirstKeyWord.line > 0) {
        warn(mFirstKeyWord, "key words are never searched: kmsg_grep and logcat_grep are both 0");
    }
}

void Checker::checkEvents(const Service& s) {
    for (size_t i = 0; i < s.mEvents.size(); ++i) {
        const Service::Event& event = s.mEvents[i];
        const char* name = event.mName.string();
        Where at = recordLine("event", event.mName);

        // What a dump of it does: the highest level of the enabled monitors holding it, and
        // whether their copies, which the matching uses, hold a hint or a key word.
        bool held = false, raised = false;
        int32_t level = 0;
        for (const Service::Monitor& monitor : s.mMonitors) {
            ssize_t copy = Service::findByName(monitor.mEvents, name);
            if (!monitor.mEnabled || copy < 0) continue;
            const Service::Event& e = monitor.mEvents[static_cast<size_t>(copy)];
            held = true;
            raised = raised || !e.mUeventHints.isEmpty() || !e.mKeyWords.isEmpty() ||
                     !e.mMatches.isEmpty();
            if (monitor.mLevel > level) level = monitor.mLevel;
        }
        bool own = !event.mUeventHints.isEmpty() || !event.mKeyWords.isEmpty() ||
                   !event.mMatches.isEmpty();
        if (!held) {
            warn(at, "event " + quoted(name) +
                             " is held by no enabled monitor: no uevent or key word raises it");
        } else if (!raised && own) {
            warn(at, "event " + quoted(name) +
                             " got its uevent hints and key words after every enabled monitor "
                             "took its copy: none of them raises it");
        } else if (!raised) {
            warn(at, "event " + quoted(name) +
                             " has neither key word nor uevent hint: only sendEvent raises it");
        }
        // The kernel sends no variable with an empty value.
        for (const String8& match : event.mMatches) {
            const char* equals = strchr(match.string(), '=');
            if (equals == nullptr || equals[1] != '\0') continue;
            warn(at, "uevent match " + quoted(match.string()) +
                             " has an empty value: no uevent carries it, so the event never fires "
                             "from a uevent");
        }
        for (const Service::Handler& handler : event.mHandlers) {
            if (!held || !handler.mEnabled || handler.mLevel <= level) continue;
            warn(at, "handler " + quoted(handler.mName.string()) + " of event " + quoted(name) +
                             " never runs: its level " + std::to_string(handler.mLevel) +
                             " is above its monitors' (" + std::to_string(level) + ")");
        }

        // Allowed, but one uevent or log line then dumps both events.
        for (size_t j = 0; j < i; ++j) {
            const Service::Event& other = s.mEvents[j];
            for (const String8& hint : event.mUeventHints) {
                if (!holds(other.mUeventHints, hint)) continue;
                warn(at, "uevent hint " + quoted(hint.string()) + " is on event " +
                                 quoted(other.mName.string()) + " too: both fire");
            }
            for (const String8& keyWord : event.mKeyWords) {
                if (!holds(other.mKeyWords, keyWord)) continue;
                warn(at, "key word " + quoted(keyWord.string()) + " is on event " +
                                 quoted(other.mName.string()) + " too: both fire");
            }
        }
    }
}

void Checker::checkHandlers(const Service& s) {
    for (const Service::Handler& handler : s.mHandlers) {
        const char* name = handler.mName.string();
        bool attached = Service::findByName(s.mGlobalHandlers, name) >= 0;
        for (const Service::Event& event : s.mEvents) {
            attached = attached || Service::findByName(event.mHandlers, name) >= 0;
        }
        if (attached) continue;
        warn(recordLine("handler", handler.mName),
             "handler " + quoted(name) + " is attached to no event and not global: it never runs");
    }
}

// Whether the file can be read as a configuration, opened as the daemon opens it; a finding when
// not: an error for the main file, which stops the daemon, and for a second file that is no
// regular file, which the daemon refuses.
bool readable(Checker& checker, const Where& at, const std::string& path, bool must) {
    std::string kind;
    if (openConfigFile(path.c_str(), &kind).ok()) return true;
    if (!kind.empty()) {
        checker.error(at, quoted(path) + " is " + kind +
                                  ", not a regular file: the daemon refuses to read it");
    } else if (must) {
        checker.error(at, "cannot open " + quoted(path) + ": " + strerror(errno));
    } else {
        checker.warn(at, "cannot open " + quoted(path) + ": " + strerror(errno) +
                                 ": the daemon reads nothing from it");
    }
    return false;
}

}  // namespace

ConfigCheckResult checkConfig(const char* path) {
    ConfigCheckResult result;
    Checker checker;
    Service::Paths paths;
    paths.configPath = path;
    sp<Service> service = new Service(paths, Service::Start::kLater);
    // The daemon would create the dump root here; a check creates nothing.
    service->mRunCommand = [](const ShellCommand&) { return 0; };
    service->mParseObserver = &checker;

    status_t status = UNKNOWN_ERROR;
    if (readable(checker, Where{path, 1}, path, true)) {
        checker.beginFile(path);
        status = service->parseConfig(path);
        checker.endFile(status);
    }
    if (status == NO_ERROR && service->mUseAdditionalConf) {
        std::string extra = service->mAdditionalConfPath.string();
        readable(checker, checker.here(), extra, false);
        checker.beginFile(extra);
        status = service->parseConfig(extra.c_str());
        checker.endFile(status);
    }
    service->mParseObserver = nullptr;

    if (status == NO_ERROR) {
        result.report = service->statusLines();
        checker.checkRecords(*service, path);
    }

    result.findings = checker.findings();
    if (checker.hasError()) {
        result.status = kCheckNoWatch;
    } else if (!result.findings.empty()) {
        result.status = kCheckWarnings;
    }
    return result;
}

}  // namespace android::tarnd
