#include "TestSupport.h"

#include <android/log.h>

#include <ctime>
#include <regex>
#include <thread>

std::string tarnd_test::logText(const tarnd_host::LogCapture& log) {
    std::string text;
    for (const tarnd_host::LogLine& line : log.lines()) {
        const bool warn = line.prio == ANDROID_LOG_WARN, error = line.prio == ANDROID_LOG_ERROR;
        text += (text.empty() ? "" : "|") + std::string(warn ? "W:" : error ? "E:" : "") + line.msg;
    }
    return std::regex_replace(text, std::regex("(free=|CurrentFreeSpace: )[0-9]+MB"), "$1*MB");
}

long tarnd_test::cpuMsInASecond() {
    const std::clock_t before = std::clock();  // this process's CPU time
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return static_cast<long>((std::clock() - before) * 1000 / CLOCKS_PER_SEC);
}
