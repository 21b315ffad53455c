// A whole configuration file through the parser, then the configuration report.
//
// Each input is parsed from a file by a fresh idle service; when it asks for an additional file,
// the same input is parsed again as that file, so that no file of the host is read. Checked: the
// status is success or BAD_VALUE; names are non-empty, without dots, unique in each list, and every
// copy names a record of its source list; the report is built; every
// log_dump_path line's "mkdir -p" reached the shell as exactly -p, -- and the path. The checker
// then reads the same file, unless it names an additional file, which could be any file of the
// host.
//
// PATH holds only a stand-in mkdir that records its arguments, so no input creates directories.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSandbox.h"
#include "service/TarnDebugService.h"
#include "tools/ConfigCheck.h"

using android::String8;
using android::TarnDebugService;
using android::Vector;

namespace {

std::string* gInputPath;
std::string* gMkdirLog;

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "config_fuzzer: %s\n", what.c_str());
    abort();
}

void writeFileOrDie(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    if (!out.write(data, static_cast<std::streamsize>(size)).flush()) fail("cannot write " + path);
}

template <typename RECORD>
void checkNames(const Vector<RECORD>& list, const char* what,
                const Vector<RECORD>* sources = nullptr) {
    for (size_t i = 0; i < list.size(); ++i) {
        const String8& name = list[i].mName;
        if (name.isEmpty() || strchr(name.string(), '.') != nullptr) {
            fail(std::string("bad name of a ") + what + ": [" + name.string() + "]");
        }
        for (size_t j = 0; j < i; ++j) {
            if (name == list[j].mName) fail(std::string("two of a ") + what + ": " + name.string());
        }
        if (sources != nullptr && TarnDebugService::findByName(*sources, name.string()) < 0) {
            fail(std::string("copy of an unknown ") + what + ": " + name.string());
        }
    }
}

// The stand-in mkdir records each call as its argument count and first three arguments, NUL-ended.
void checkMkdirCalls(const std::string& dumpPath) {
    std::ifstream in(*gMkdirLog, std::ios::binary);
    std::string call, last;  // the path of the last such line is the one that stays
    while (std::getline(in, call, '\0')) {
        if (call.compare(0, 8, "3 -p -- ") != 0) fail("mkdir got other words: " + call);
        last = call.substr(8);
    }
    if (last != dumpPath) fail("the directory command did not get [" + dumpPath + "]");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gInputPath = new std::string(tarnd_fuzz::sandboxDir() + "/input.conf");
    gMkdirLog = new std::string(tarnd_fuzz::sandboxDir() + "/mkdir.log");

    const std::string bin = tarnd_fuzz::sandboxDir() + "/bin";
    if (mkdir(bin.c_str(), 0700) != 0) fail("cannot create " + bin);
    const std::string stub = "#!/bin/sh\nprintf '%s\\0' \"$# $1 $2 $3\" >> '" + *gMkdirLog + "'\n";
    writeFileOrDie(bin + "/mkdir", stub.data(), stub.size());
    if (chmod((bin + "/mkdir").c_str(), 0700) != 0) fail("cannot make the stand-in mkdir runnable");
    setenv("PATH", bin.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A new file each time: ext4 flushes a truncated and rewritten file on close.
    unlink(gInputPath->c_str());
    writeFileOrDie(*gInputPath, reinterpret_cast<const char*>(data), size);
    unlink(gMkdirLog->c_str());

    tarnd_fuzz::IdleService idle;
    TarnDebugService* s = idle.service.get();
    android::status_t status = s->parseConfig(gInputPath->c_str());
    if (status == android::NO_ERROR && s->mUseAdditionalConf) {
        status = s->parseConfig(gInputPath->c_str());
    }
    if (status != android::NO_ERROR && status != android::BAD_VALUE) {
        fail("parse status " + std::to_string(status));
    }

    checkNames(s->mGlobalHandlers, "global handler");
    checkNames(s->mHandlers, "handler");
    checkNames(s->mEvents, "event");
    checkNames(s->mEventGroups, "event group");
    checkNames(s->mMonitors, "monitor");
    for (size_t i = 0; i < s->mEvents.size(); ++i) {
        checkNames(s->mEvents[i].mHandlers, "handler", &s->mHandlers);
    }
    for (size_t i = 0; i < s->mEventGroups.size(); ++i) {
        checkNames(s->mEventGroups[i].mEvents, "event", &s->mEvents);
    }
    for (size_t i = 0; i < s->mMonitors.size(); ++i) {
        checkNames(s->mMonitors[i].mEvents, "event", &s->mEvents);
    }

    s->dumpStatus();
    checkMkdirCalls(std::string(s->mLogDumpPath.string(), s->mLogDumpPath.length()));

    static const char kAdditional[] = "additional_conf_path";
    if (memmem(data, size, kAdditional, sizeof(kAdditional) - 1) == nullptr) {
        android::tarnd::ConfigCheckResult check = android::tarnd::checkConfig(gInputPath->c_str());
        if (check.status < 0 || check.status > 2) fail("status " + std::to_string(check.status));
        if (status != android::NO_ERROR && check.status != 2)
            fail("a failed parse checked as " + std::to_string(check.status));
    }
    return 0;
}
