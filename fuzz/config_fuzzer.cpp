// A whole configuration file through the parser, then the configuration report and the checker.
//
// Each input is parsed from a file by a fresh idle service; when it asks for an additional file,
// the same input is parsed again as that file, so that no file of the host is read. Checked: the
// status is success or BAD_VALUE; names are non-empty, without dots, unique in each list, and
// every copy names a record of its source list; the report is built; every log_dump_path line's
// "mkdir" reaches the shell as exactly -p, -- and the path, and runs nothing else. The checker then
// reads the same file, unless it names an additional file, which could be any file of the host,
// and fails what the parser fails.
#include <stdint.h>
#include <string.h>

#include <filesystem>
#include <fstream>

#include "fuzz/FuzzSandbox.h"
#include "tools/ConfigCheck.h"

namespace {

// A failed check aborts: libFuzzer then reports the input and the stack, which names the check.
void check(bool ok) {
    if (!ok) abort();
}

// Names are non-empty, without dots and unique in their list (findByName gives the first record
// of a name); every copy names a record of the list it was copied from.
template <typename RECORD>
void checkNames(const android::Vector<RECORD>& list, const android::Vector<RECORD>& sources) {
    for (size_t i = 0; i < list.size(); ++i) {
        const char* name = list[i].mName.string();
        check(*name != '\0' && strchr(name, '.') == nullptr);
        check(android::tarnd::TarnDebugService::findByName(list, name) == static_cast<ssize_t>(i));
        check(android::tarnd::TarnDebugService::findByName(sources, name) >= 0);
    }
}

// The parser's mkdir lines run in the real shell, with mkdir a function that takes only -p, -- and
// the path the service holds, and no command on PATH.
const std::string kStandInMkdir =
        "PATH=/nonexistent; mkdir() { [ $# = 3 ] && [ \"$1\" = -p ] && [ \"$2\" = -- ] && "
        "[ \"$3\" = \"$TARND_WANT\" ] || exit 1; }; ";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A new file each time: ext4 flushes a truncated and rewritten file on close.
    static const std::string path = tarnd_fuzz::sandboxDir() + "/input.conf";
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);

    tarnd_fuzz::IdleService idle;
    android::tarnd::TarnDebugService* s = idle.service.get();
    s->mRunCommand = [s](const android::tarnd::ShellCommand& command) {
        setenv("TARND_WANT", s->mLogDumpPath.string(), 1);
        check(system((kStandInMkdir + command.line).c_str()) == 0);
        return 0;
    };
    android::status_t status = s->parseConfig(path.c_str());
    if (status == android::NO_ERROR && s->mUseAdditionalConf) status = s->parseConfig(path.c_str());
    check(status == android::NO_ERROR || status == android::BAD_VALUE);

    checkNames(s->mGlobalHandlers, s->mGlobalHandlers);
    checkNames(s->mHandlers, s->mHandlers);
    checkNames(s->mEvents, s->mEvents);
    checkNames(s->mEventGroups, s->mEventGroups);
    checkNames(s->mMonitors, s->mMonitors);
    for (const auto& event : s->mEvents) checkNames(event.mHandlers, s->mHandlers);
    for (const auto& group : s->mEventGroups) checkNames(group.mEvents, s->mEvents);
    for (const auto& monitor : s->mMonitors) checkNames(monitor.mEvents, s->mEvents);
    s->dumpStatus();

    if (memmem(data, size, "additional_conf_path", 20) == nullptr) {
        int checked = android::tarnd::checkConfig(path.c_str()).status;
        check(checked >= 0 && checked <= 2 && (status == android::NO_ERROR || checked == 2));
    }
    return 0;
}
