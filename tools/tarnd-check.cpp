// tarnd-check: reads a configuration as the daemon would, prints the parser's messages, the
// start-up report and every quiet trap found, in compiler style.
//
//   tarnd-check [CONFIG]     (without CONFIG: the daemon's own configuration file)
//
// Exit status: 0 clean, 1 warnings only, 2 the daemon would watch for no event, 64 usage.
#include <android/log.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "service/DevicePaths.h"
#include "tools/ConfigCheck.h"

namespace {

using namespace android::tarnd;

char priorityLetter(int priority) {
    static const char kLetters[] = "??VDIWEFS";
    return priority >= 0 && priority <= ANDROID_LOG_SILENT ? kLetters[priority] : '?';
}

// One line per line of the message, in logcat's "tag" layout, on standard output beside the
// report.
template <typename MESSAGE>
void printMessage(const MESSAGE* message) {
    std::string text = message->message != nullptr ? message->message : "";
    const char* tag = message->tag != nullptr ? message->tag : "";
    size_t start = 0;
    do {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        printf("%c/%s: %.*s\n", priorityLetter(message->priority), tag,
               static_cast<int>(end - start), text.c_str() + start);
        start = end + 1;
    } while (start < text.size());
}

// liblog's message as its logger hook gets it. The hook came with Android 11 and the tool runs on
// older releases too, so it is looked up when the tool starts.
struct LogMessage {
    size_t structSize;
    int32_t bufferId;
    int32_t priority;
    const char* tag;
    const char* file;
    uint32_t line;
    const char* message;
};

bool printLog() {
    using SetLogger = void (*)(void (*)(const LogMessage*));
    auto setLogger = reinterpret_cast<SetLogger>(dlsym(RTLD_DEFAULT, "__android_log_set_logger"));
    if (setLogger == nullptr) return false;
    setLogger(printMessage<LogMessage>);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (argv[1][0] == '-' || argv[1][0] == '\0'))) {
        fprintf(stderr, "usage: tarnd-check [CONFIG]\n(default CONFIG: %s)\n", kConfigPath);
        return kCheckUsage;
    }
    const char* path = argc == 2 ? argv[1] : kConfigPath;
    if (!printLog()) {
        printf("tarnd-check: the parser's messages are in logcat on this Android release\n");
    }
    ConfigCheckResult result = checkConfig(path);
    for (const std::string& line : result.report) printf("%s\n", line.c_str());
    for (const std::string& line : result.findings) printf("%s\n", line.c_str());
    fflush(stdout);
    return result.status;
}
