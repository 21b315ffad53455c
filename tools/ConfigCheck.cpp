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

    void checkEvents(const Service& s);
    void checkHandlers(const Service& s);
    void checkGlobal(const Service& s, const std::string& mainFile);

    Where mHere;
    std::string mLine;                       // the current line up to its first NUL
    const char* mWord = nullptr;             // the word the current line matched last
    const char* mSection = nullptr;          // the section word of the current line
    std::string mPolicyLine;                 // a policy line whose value is still to be looked at
    std::map<std::string, Where> mKeyLines;  // the last line that matched each word
    Where mFirstKeyWord;
    std::map<std::pair<std::string, std::string>, Where> mRecordLines;  // first lines by section
    std::vector<std::string> mFindings;
    bool mError = false;
};

void Checker::checkRecords(const Service& s, const std::string& mainFile) {
    bool enabled = false;
    for (const Service::Monitor& monitor : s.mMonitors) enabled = enabled || monitor.mEnabled;
    if (!enabled) {
        Where at{mainFile, 1};
        if (!s.mMonitors.isEmpty()) at = recordLine("monitor", s.mMonitors[0].mName);
        error(at, "no monitor is enabled: the daemon watches for no event");
    }
    checkGlobal(s, mainFile);
    checkEvents(s);
    checkHandlers(s);
}

void Checker::checkGlobal(const Service& s, const std::string& mainFile) {
    const char* dumpPath = s.mLogDumpPath.string();
    if (dumpPath[0] == '\0') {
        warn(Where{mainFile, 1}, "log_dump_path is not set: dumps go to the root directory");
    } else if (dumpPath[0] != '/') {
        warn(mKeyLines["log_dump_path"], "log_dump_path " + quoted(dumpPath) +
                                                 " is relative: dumps go below the daemon's "
                                                 "working directory");
    }
    if (!s.mAdditionalConfPath.isEmpty() && !s.mUseAdditionalConf) {
        warn(mKeyLines["additional_conf_path"],
             "additional_conf_path " + quoted(s.mAdditionalConfPath.string()) +
                     " cannot be opened: the daemon reads no second file");
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

// Whether the file can be read as a configuration; a finding when not.
bool readable(Checker& checker, const Where& at, const std::string& path, bool must) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    std::string problem;
    if (fd < 0) {
        problem = "cannot open " + quoted(path) + ": " + strerror(errno);
    } else if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        problem = quoted(path) + " is a directory, not a configuration file";
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        // /dev/zero would never end a line.
        problem = quoted(path) + " is a device, not a configuration file";
    }
    if (fd >= 0) close(fd);
    if (problem.empty()) return true;
    if (must) {
        checker.error(at, problem);
    } else {
        checker.warn(at, problem + ": the daemon reads nothing from it");
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
