// The configuration report logged at start-up. Its lines are read by people and by tools, so the
// layout stays exactly as it is, blanks at line ends included.
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

// Four spaces per level; level 0 or less indents nothing.
String8 indentation(int level) {
    String8 text;
    for (int i = 0; i < level; ++i) text.append("    ");
    return text;
}

}  // namespace

String8 TarnDebugService::dumpStatus() {
    String8 report;
    report.appendFormat("Config File Path: %s\n", mConfigPath);
    report.appendFormat("Log Dump Path: %s\n", mLogDumpPath.string());
    report.appendFormat("Additional Config Path: %s\n", mAdditionalConfPath.string());
    report.appendFormat("Enable Logcat Grep: %d\n", mLogcatGrep ? 1 : 0);
    report.appendFormat("Enable Kmsg Grep: %d\n", mKmsgGrep ? 1 : 0);
    report.appendFormat("MaxEventsDumped: %d\n", mMaxDumpCount);
    report.appendFormat("MaxLogSize: %dMB\n", mMaxDumpSpace);
    report.appendFormat("MinFreeSpace: %dMB\n", mMinFreeSpace);
    if (mCommandTimeoutSet) report.appendFormat("Command timeout: %d s\n", mCommandTimeout);
    // Only where set, so that the report of a configuration without them does not change.
    if (!mServiceName.isEmpty()) report.appendFormat("Service name: %s\n", mServiceName.string());
    if (!mAllowedUids.empty()) {
        report.append("Allowed uids:");
        for (int32_t uid : mAllowedUids) report.appendFormat(" %d", uid);
        report.append("\n");
    }

    String8 level1 = indentation(1);
    if (!mGlobalHandlers.isEmpty()) report.append("Global handlers:\n");
    for (size_t i = 0; i < mGlobalHandlers.size(); ++i) {
        const Handler& handler = mGlobalHandlers[i];
        report.append(describeHandler(handler, 1));
        report.appendFormat("%sEnabled: %d\n", level1.string(), handler.mEnabled ? 1 : 0);
    }

    for (size_t i = 0; i < mMonitors.size(); ++i) {
        const Monitor& monitor = mMonitors[i];
        report.appendFormat("Monitor: %s, Enabled: %d, Level: %d\n", monitor.mName.string(),
                            monitor.mEnabled ? 1 : 0, monitor.mLevel);
        for (size_t e = 0; e < monitor.mEvents.size(); ++e) {
            report.append(describeEvent(monitor.mEvents[e], 1));
        }
    }

    // The history is the last line and has no newline of its own.
    if (!mHistory.isEmpty()) report.append("History events:");
    for (size_t i = 0; i < mHistory.size(); ++i) {
        report.appendFormat("%s%s %s", level1.string(), mHistory[i].mEventName.string(),
                            mHistory[i].mDumpDirName.string());
    }
    return report;
}

String8 TarnDebugService::describeHandler(const Handler& handler, int level) {
    String8 pad = indentation(level);
    const char* indent = pad.string();
    String8 text;
    text.appendFormat("%sName: %s\n", indent, handler.mName.string());
    text.appendFormat("%sLevel: %d\n", indent, handler.mLevel);
    if (handler.mTimeoutSet) text.appendFormat("%sTimeout: %d s\n", indent, handler.mTimeout);
    if (!handler.mEnableCmd.isEmpty()) {
        text.appendFormat("%sEnable cmd: %s\n", indent, handler.mEnableCmd.string());
    }
    for (size_t i = 0; i < handler.mEnableParas.size(); ++i) {
        text.appendFormat("%sEnable Para %d: %s\n", indent, static_cast<int>(i),
                          handler.mEnableParas[i].string());
    }
    if (!handler.mDumpCmd.isEmpty()) {
        text.appendFormat("%sDump cmd: %s\n", indent, handler.mDumpCmd.string());
    }
    for (size_t i = 0; i < handler.mDumpParas.size(); ++i) {
        text.appendFormat("%sDump Para %d: %s\n", indent, static_cast<int>(i),
                          handler.mDumpParas[i].string());
    }
    return text;
}

String8 TarnDebugService::describeEvent(const Event& event, int level) {
    String8 pad = indentation(level);
    const char* indent = pad.string();
    String8 inner = indentation(level + 1);
    String8 text;
    text.appendFormat("%sEvent: %s, Policy: %d, Dump %d times\n", indent, event.mName.string(),
                      event.mPolicy, event.mDumpCount);
    if (event.mIntervalSet) text.appendFormat("%sInterval: %d s\n", indent, event.mInterval);
    // Every hint and key word, the last one too, is followed by ", ".
    text.appendFormat("%sUevent hints: ", indent);
    for (size_t i = 0; i < event.mUeventHints.size(); ++i) {
        text.appendFormat("%s, ", event.mUeventHints[i].string());
    }
    // Only where set, so that the report of a configuration without matches stays as it was.
    if (!event.mMatches.isEmpty()) {
        text.appendFormat("\n%sUevent matches: ", indent);
        for (size_t i = 0; i < event.mMatches.size(); ++i) {
            text.appendFormat("%s, ", event.mMatches[i].string());
        }
    }
    text.appendFormat("\n%sKey words: ", indent);
    for (size_t i = 0; i < event.mKeyWords.size(); ++i) {
        text.appendFormat("%s, ", event.mKeyWords[i].string());
    }
    text.appendFormat("\n%sHandlers: \n", indent);
    for (size_t i = 0; i < event.mHandlers.size(); ++i) {
        const Handler& handler = event.mHandlers[i];
        text.append(describeHandler(handler, level + 1));
        text.appendFormat("%sEnabled: %d\n", inner.string(), handler.mEnabled ? 1 : 0);
    }
    return text;
}

std::vector<std::string> TarnDebugService::statusLines() {
    String8 report = dumpStatus();
    std::string text(report.string(), report.length());
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace android::tarnd
