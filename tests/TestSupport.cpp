#include "TestSupport.h"

#include <android/log.h>

#include <regex>

std::string tarnd_test::logText(const tarnd_host::LogCapture& log) {
    std::string text;
    for (const tarnd_host::LogLine& line : log.lines()) {
        const bool warn = line.prio == ANDROID_LOG_WARN, error = line.prio == ANDROID_LOG_ERROR;
        text += (text.empty() ? "" : "|") + std::string(warn ? "W:" : error ? "E:" : "") + line.msg;
    }
    return std::regex_replace(text, std::regex("(free=|CurrentFreeSpace: )[0-9]+MB"), "$1*MB");
}
