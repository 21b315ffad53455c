// The configuration file parser: SECTION.NAME.KEY=VALUE lines applied one by one to the records.
//
// A line is taken as a C string: a NUL byte inside a line ends it for every step after the length
// check (comment and dot tests, tokens, value, messages), so nothing ever reads past what the
// scratch buffers hold.
#include <fcntl.h>
#include <log/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "base/ShellQuote.h"
#include "base/UniqueFd.h"
#include "config/ConfigFile.h"
#include "config/ParseObserver.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

// Both scratch buffers (the line split into tokens, the value being extracted) have this size.
constexpr size_t kScratchSize = 1024;
// Line lengths, newline included; shorter or longer lines are skipped.
constexpr ssize_t kMinLineLength = 2;
constexpr ssize_t kMaxLineLength = kScratchSize - 1;
static_assert(ConfigLineReader::kKept >= kMaxLineLength, "a line the parser takes is kept whole");
constexpr int32_t kMaxSeconds = 86400;

// The tokenizer state belongs to one line; every step of that line passes it along.
char* nextToken(char** savePtr) { return strtok_r(nullptr, ".", savePtr); }

// sourceLine is the __LINE__ of the reporting statement, so that each site is told apart.
status_t parseError(int sourceLine, const char* line) {
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Config file parsing error at line %d: %s",
                        sourceLine, line);
    return BAD_VALUE;
}

status_t setValueFailed(int sourceLine) {
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Set value failed at line %d", sourceLine);
    return BAD_VALUE;
}

// Limits and intervals in seconds: from nothing (0, also for negative values) up to a day.
status_t getSeconds(TarnDebugService* service, const char* line, int32_t* seconds) {
    status_t status = service->getNumber(line, seconds);
    if (status == NO_ERROR) *seconds = std::min(std::max(*seconds, 0), kMaxSeconds);
    return status;
}

status_t appendValue(const char* line, Vector<String8>& list) {
    String8 value;
    status_t status = TarnDebugService::getValue(line, value);
    if (status == NO_ERROR) list.add(value);
    return status;
}

// The record of that name, appended with its defaults when the list has none yet.
template <typename RECORD>
RECORD& findOrAdd(TarnDebugService* service, Vector<RECORD>& list, const char* name) {
    if (service->mParseObserver != nullptr) service->mParseObserver->onRecord(name);
    ssize_t index = TarnDebugService::findByName(list, name);
    if (index < 0) index = list.add(RECORD(service, String8(name)));
    return list.editItemAt(static_cast<size_t>(index));
}

// Attaches a copy of the event as it stands now, unless the list already holds one of its name.
void attachCopy(Vector<TarnDebugService::Event>& events, const TarnDebugService::Event& event) {
    if (TarnDebugService::findByName(events, event.mName.string()) < 0) events.add(event);
}

// The one key of an event group. It lives here rather than in an operation of its own since the
// group has nothing else to set.
status_t parseGroupKey(TarnDebugService* service, TarnDebugService::EventGroup& group,
                       const char* line, char** savePtr) {
    const char* key = nextToken(savePtr);
    if (key == nullptr) return parseError(__LINE__, line);
    if (!service->startsWith(key, "event")) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Unknown key word %s in event group section", key);
        return BAD_VALUE;
    }
    String8 name;
    if (TarnDebugService::getValue(line, name) != NO_ERROR) return setValueFailed(__LINE__);
    ssize_t index = TarnDebugService::findByName(service->mEvents, name.string());
    if (index < 0) return parseError(__LINE__, line);
    attachCopy(group.mEvents, service->mEvents[static_cast<size_t>(index)]);
    return NO_ERROR;
}

}  // namespace

// Key and section words match a token by its beginning: "dump=x" and "dumpx=x" are both "dump".
bool TarnDebugService::startsWith(const char* token, const char* word) {
    bool match = strncmp(token, word, strlen(word)) == 0;
    if (match && mParseObserver != nullptr) mParseObserver->onWord(token, word);
    return match;
}

status_t TarnDebugService::getNumber(const char* line, int32_t* number) {
    String8 value;
    status_t status = getValue(line, value);
    if (status != NO_ERROR) return status;
    *number = atoi(value.string());
    if (mParseObserver != nullptr) mParseObserver->onNumber(value.string(), *number);
    return NO_ERROR;
}

status_t TarnDebugService::parseConfig(const char* path) {
    // Close-on-exec: the mkdir of log_dump_path runs while the file is open.
    std::string kind;
    UniqueFd file = openConfigFile(path, &kind);
    if (!file.ok()) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to open config file %s", path);
        if (!kind.empty()) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                                "Config file %s is %s, not a regular file", path, kind.c_str());
        }
        return UNKNOWN_ERROR;
    }
    ConfigLineReader reader(std::move(file));
    char tokens[kScratchSize];

    for (;;) {
        ssize_t length = reader.next();
        if (length < 0) break;
        if (mParseObserver != nullptr) {
            mParseObserver->onLine(reader.line(), static_cast<size_t>(length),
                                   length > kMaxLineLength);
        }
        if (length < kMinLineLength || length > kMaxLineLength) continue;
        const char* line = reader.line();
        if (line[0] == '/' && line[1] == '/') continue;
        if (strchr(line, '.') == nullptr) continue;

        // getline terminated the line, so the copy with its terminator fits the buffer.
        memcpy(tokens, line, static_cast<size_t>(length) + 1);
        char* savePtr = nullptr;
        const char* section = strtok_r(tokens, ".", &savePtr);
        status_t status = BAD_VALUE;
        if (section == nullptr) {
            // Only dots: no section word, and nothing to say beyond the failure itself.
        } else if (strcmp(section, "global") == 0) {
            status = parseGlobal(line, &savePtr);
        } else if (startsWith(section, "ghandler")) {
            const char* name = nextToken(&savePtr);
            if (name != nullptr) {
                status = parseHandler(findOrAdd(this, mGlobalHandlers, name), line, &savePtr);
            }
        } else if (startsWith(section, "handler")) {
            const char* name = nextToken(&savePtr);
            if (name != nullptr) {
                status = parseHandler(findOrAdd(this, mHandlers, name), line, &savePtr);
            }
        } else if (startsWith(section, "event")) {
            const char* name = nextToken(&savePtr);
            if (name != nullptr) {
                status = parseEvent(findOrAdd(this, mEvents, name), line, &savePtr);
            }
        } else if (startsWith(section, "evtgroup")) {
            const char* name = nextToken(&savePtr);
            if (name != nullptr) {
                status = parseGroupKey(this, findOrAdd(this, mEventGroups, name), line, &savePtr);
            }
        } else if (startsWith(section, "monitor")) {
            const char* name = nextToken(&savePtr);
            if (name != nullptr) {
                status = parseMonitor(findOrAdd(this, mMonitors, name), line, &savePtr);
            }
        } else {
            // A section this daemon does not know may belong to a newer file: skip, do not fail.
            if (mParseObserver != nullptr) mParseObserver->onUnknownSection(section);
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Config file parsing error: %s", line);
            continue;
        }
        if (status != NO_ERROR) return parseError(__LINE__, line);
    }
    return NO_ERROR;
}

status_t TarnDebugService::parseGlobal(const char* line, char** savePtr) {
    const char* key = nextToken(savePtr);
    if (key == nullptr) return parseError(__LINE__, line);
    int32_t number = 0;

    if (startsWith(key, "log_dump_path")) {
        if (getValue(line, mLogDumpPath) != NO_ERROR) return setValueFailed(__LINE__);
        String8 command = mkdirCommand(mLogDumpPath.string());
        ShellCommand mkdir;
        mkdir.line = command.string();
        if (mRunCommand(mkdir) < 0) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to create log dump dir %s",
                                mLogDumpPath.string());
            return BAD_VALUE;
        }
        return NO_ERROR;
    }
    if (startsWith(key, "additional_conf_path")) {
        if (getValue(line, mAdditionalConfPath) != NO_ERROR) return setValueFailed(__LINE__);
        // Only a file that opens now is parsed later; one that does not is no error.
        std::string kind;
        UniqueFd file = openConfigFile(mAdditionalConfPath.string(), &kind);
        if (!kind.empty()) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                                "Additional config file %s is %s, not a regular file: not read",
                                mAdditionalConfPath.string(), kind.c_str());
        }
        if (file.ok()) {
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Use additional config file");
            mUseAdditionalConf = true;
        }
        return NO_ERROR;
    }
    if (startsWith(key, "logcat_grep")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        mLogcatGrep = number != 0;
        return NO_ERROR;
    }
    if (startsWith(key, "kmsg_grep")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        mKmsgGrep = number != 0;
        return NO_ERROR;
    }
    // A count or a size below 0 means nothing the daemon could act on.
    if (startsWith(key, "max_dump_count")) {
        if (getNumber(line, &number) != NO_ERROR || number < 0) return setValueFailed(__LINE__);
        mMaxDumpCount = number;
        return NO_ERROR;
    }
    if (startsWith(key, "max_dump_space")) {
        if (getNumber(line, &number) != NO_ERROR || number < 0) return setValueFailed(__LINE__);
        mMaxDumpSpace = number;
        return NO_ERROR;
    }
    if (startsWith(key, "min_free_space")) {
        if (getNumber(line, &number) != NO_ERROR || number < 0) return setValueFailed(__LINE__);
        mMinFreeSpace = number;
        return NO_ERROR;
    }
    if (startsWith(key, "service_name")) {
        if (getValue(line, mServiceName) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "allowed_uid")) {
        if (getNumber(line, &number) != NO_ERROR || number < 0) return setValueFailed(__LINE__);
        mAllowedUids.push_back(number);
        return NO_ERROR;
    }
    if (startsWith(key, "command_timeout")) {
        if (getSeconds(this, line, &mCommandTimeout) != NO_ERROR) return setValueFailed(__LINE__);
        mCommandTimeoutSet = true;
        return NO_ERROR;
    }
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Unknown key word %s in global section", key);
    return BAD_VALUE;
}

status_t TarnDebugService::parseHandler(Handler& handler, const char* line, char** savePtr) {
    const char* key = nextToken(savePtr);
    if (key == nullptr) return parseError(__LINE__, line);
    int32_t number = 0;

    if (startsWith(key, "init")) {
        if (getValue(line, handler.mEnableCmd) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "dump")) {
        if (getValue(line, handler.mDumpCmd) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "on")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        handler.mEnabled = number != 0;
        return NO_ERROR;
    }
    if (startsWith(key, "level")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        handler.mLevel = number;
        return NO_ERROR;
    }
    if (startsWith(key, "epara")) {
        if (appendValue(line, handler.mEnableParas) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "dpara")) {
        if (appendValue(line, handler.mDumpParas) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "timeout")) {
        if (getSeconds(this, line, &handler.mTimeout) != NO_ERROR) return setValueFailed(__LINE__);
        handler.mTimeoutSet = true;
        return NO_ERROR;
    }
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Unknown key word %s in handler section", key);
    return BAD_VALUE;
}

status_t TarnDebugService::parseEvent(Event& event, const char* line, char** savePtr) {
    const char* key = nextToken(savePtr);
    if (key == nullptr) return parseError(__LINE__, line);

    if (startsWith(key, "handler")) {
        const char* name = nextToken(savePtr);
        if (name == nullptr) return parseError(__LINE__, line);
        // Only the service's handlers can be attached; global handlers run for every dump anyway.
        ssize_t source = findByName(mHandlers, name);
        if (source < 0) return parseError(__LINE__, line);
        // The event's own copy takes the key, so the service's handler and other events keep
        // theirs; a copy attached earlier is reused.
        ssize_t index = findByName(event.mHandlers, name);
        if (index < 0) index = event.mHandlers.add(mHandlers[static_cast<size_t>(source)]);
        if (parseHandler(event.mHandlers.editItemAt(static_cast<size_t>(index)), line, savePtr) !=
            NO_ERROR) {
            return parseError(__LINE__, line);
        }
        return NO_ERROR;
    }
    if (startsWith(key, "key_word")) {
        if (appendValue(line, event.mKeyWords) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "uevent")) {
        if (appendValue(line, event.mUeventHints) != NO_ERROR) return setValueFailed(__LINE__);
        return NO_ERROR;
    }
    if (startsWith(key, "match")) {
        // KEY=VALUE, with a key: anything else could never be carried by a uevent.
        String8 match;
        if (getValue(line, match) != NO_ERROR) return setValueFailed(__LINE__);
        const char* equals = strchr(match.string(), '=');
        if (equals == nullptr || equals == match.string()) return setValueFailed(__LINE__);
        event.mMatches.add(match);
        return NO_ERROR;
    }
    if (startsWith(key, "policy")) {
        String8 policy;
        if (getValue(line, policy) != NO_ERROR) return setValueFailed(__LINE__);
        event.mPolicy = policy == "once" ? 0 : 1;
        return NO_ERROR;
    }
    if (startsWith(key, "interval")) {
        if (getSeconds(this, line, &event.mInterval) != NO_ERROR) return setValueFailed(__LINE__);
        event.mIntervalSet = true;
        return NO_ERROR;
    }
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Unknown key word %s in event section", key);
    return BAD_VALUE;
}

status_t TarnDebugService::parseMonitor(Monitor& monitor, const char* line, char** savePtr) {
    const char* key = nextToken(savePtr);
    if (key == nullptr) return parseError(__LINE__, line);
    int32_t number = 0;

    if (startsWith(key, "enable")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        monitor.mEnabled = number != 0;
        return NO_ERROR;
    }
    if (startsWith(key, "level")) {
        if (getNumber(line, &number) != NO_ERROR) return setValueFailed(__LINE__);
        monitor.mLevel = number;
        return NO_ERROR;
    }
    if (startsWith(key, "event")) {
        String8 name;
        if (getValue(line, name) != NO_ERROR) return setValueFailed(__LINE__);
        if (findByName(monitor.mEvents, name.string()) >= 0) return NO_ERROR;
        ssize_t index = findByName(mEvents, name.string());
        if (index < 0) return parseError(__LINE__, line);
        monitor.mEvents.add(mEvents[static_cast<size_t>(index)]);
        return NO_ERROR;
    }
    if (startsWith(key, "evtgroup")) {
        String8 name;
        if (getValue(line, name) != NO_ERROR) return setValueFailed(__LINE__);
        // A group nobody defined adds nothing; that is not worth stopping start-up for.
        ssize_t index = findByName(mEventGroups, name.string());
        if (index < 0) return NO_ERROR;
        const EventGroup& group = mEventGroups[static_cast<size_t>(index)];
        for (size_t i = 0; i < group.mEvents.size(); ++i) {
            attachCopy(monitor.mEvents, group.mEvents[i]);
        }
        return NO_ERROR;
    }
    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Unknown key word %s in monitor section", key);
    return BAD_VALUE;
}

status_t TarnDebugService::getValue(const char* line, String8& out) {
    // The content is the line without its newline; a last line may have none.
    size_t end = strlen(line);
    if (end > 0 && line[end - 1] == '\n') --end;

    const char* value = nullptr;
    size_t valueLength = 0;
    for (size_t i = 0; i < end && value == nullptr; ++i) {
        if (line[i] != '=') continue;
        // Only spaces are blanks: a tab after the "=" already belongs to the value.
        size_t start = i + 1;
        while (start < end && line[start] == ' ') ++start;
        if (start == end) continue;
        if (line[start] != '"') {
            value = line + start;
            valueLength = end - start;
        } else if (end - 1 > start && line[end - 1] == '"') {
            value = line + start + 1;
            valueLength = end - 1 - (start + 1);
        }
        // Otherwise the quote is never closed, and a later "=" may still give the value.
    }

    // A value too long for the buffer cannot come from the parser, whose lines are shorter; only
    // a direct call with a longer line gets that far, and it is refused like a missing value.
    if (value == nullptr || valueLength == 0 || valueLength >= kScratchSize) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Invalid line in config file: %s", line);
        return BAD_VALUE;
    }
    char buffer[kScratchSize];
    memcpy(buffer, value, valueLength);
    while (valueLength > 0 && buffer[valueLength - 1] == ' ') --valueLength;
    buffer[valueLength] = '\0';
    out.clear();
    out.setTo(buffer);
    return NO_ERROR;
}

}  // namespace android::tarnd
