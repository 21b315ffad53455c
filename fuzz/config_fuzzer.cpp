// A whole configuration file through the parser, then the configuration report.
//
// Each input is written to a file and parsed by a fresh idle service, as start-up would parse it;
// when the file makes the service use an additional file, the same input is parsed a second time
// as that file (into the same records), so that no file of the host is ever read as
// configuration. Then:
// - the status is success or BAD_VALUE, nothing else;
// - the records hold together: names are non-empty tokens without dots, unique in each list, and
//   every copy in an event, group or monitor names a record of the list it was copied from;
// - the report equals the one built here from the records by the documented layout;
// - every log_dump_path line's "mkdir -p" reached the shell as exactly two words: -p and the path.
//
// The directory command runs through the real system() and /bin/sh, but PATH holds only a
// stand-in mkdir that records its arguments, so no input creates directories on the host.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/FuzzSandbox.h"
#include "service/TarnDebugService.h"

using android::String8;
using android::TarnDebugService;
using android::Vector;

namespace {

const tarnd_fuzz::Sandbox* gSandbox;
std::string* gInputPath;
std::string* gMkdirLog;

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "config_fuzzer: %s\n", what.c_str());
    abort();
}

std::string str(const String8& s) { return std::string(s.string(), s.length()); }

void writeFileOrDie(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write " + path);
    if (size > 0 && fwrite(data, 1, size, file) != size) fail("cannot write " + path);
    if (fclose(file) != 0) fail("cannot write " + path);
}

std::string readFileOrEmpty(const std::string& path) {
    std::string out;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file)) > 0) out.append(buf, n);
    fclose(file);
    return out;
}

// The stand-in mkdir appends, per call, its argument count and its arguments, each ended by a NUL.
std::vector<std::vector<std::string>> mkdirCalls() {
    const std::string log = readFileOrEmpty(*gMkdirLog);
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\0', start);
        if (end == std::string::npos) fail("mkdir log not NUL-terminated");
        fields.push_back(log.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::vector<std::string>> calls;
    for (size_t i = 0; i < fields.size();) {
        size_t count = strtoul(fields[i].c_str(), nullptr, 10);
        if (i + 1 + count > fields.size()) fail("mkdir log cut short");
        calls.emplace_back(fields.begin() + i + 1, fields.begin() + i + 1 + count);
        i += 1 + count;
    }
    return calls;
}

void checkName(const String8& name, const char* what) {
    const std::string text = str(name);
    if (text.empty()) fail(std::string("empty name of a ") + what);
    if (text.find('.') != std::string::npos) fail(std::string("dot in the name of a ") + what);
}

template <typename RECORD>
void checkList(const Vector<RECORD>& list, const TarnDebugService* service, const char* what) {
    for (size_t i = 0; i < list.size(); ++i) {
        checkName(list[i].mName, what);
        if (list[i].mService != service) fail(std::string("foreign service in a ") + what);
        for (size_t j = 0; j < i; ++j) {
            if (list[i].mName == list[j].mName) fail(std::string("two of a name: ") + what);
        }
    }
}

// A copy must come from the list it names, and a list of copies holds each name once.
template <typename RECORD>
void checkCopies(const Vector<RECORD>& copies, const Vector<RECORD>& sources,
                 const TarnDebugService* service, const char* what) {
    checkList(copies, service, what);
    for (size_t i = 0; i < copies.size(); ++i) {
        if (TarnDebugService::findByName(sources, copies[i].mName.string()) < 0) {
            fail(std::string("copy of an unknown ") + what + ": " + str(copies[i].mName));
        }
    }
}

void checkRecords(const TarnDebugService* s) {
    checkList(s->mGlobalHandlers, s, "global handler");
    checkList(s->mHandlers, s, "handler");
    checkList(s->mEvents, s, "event");
    checkList(s->mEventGroups, s, "event group");
    checkList(s->mMonitors, s, "monitor");
    for (size_t i = 0; i < s->mEvents.size(); ++i) {
        checkCopies(s->mEvents[i].mHandlers, s->mHandlers, s, "handler");
    }
    for (size_t i = 0; i < s->mEventGroups.size(); ++i) {
        checkCopies(s->mEventGroups[i].mEvents, s->mEvents, s, "event");
    }
    for (size_t i = 0; i < s->mMonitors.size(); ++i) {
        checkCopies(s->mMonitors[i].mEvents, s->mEvents, s, "event");
    }
}

std::string pad(int level) {
    std::string out;
    for (int i = 0; i < level; ++i) out += "    ";
    return out;
}

std::string handlerBlock(const TarnDebugService::Handler& h, int level) {
    const std::string p = pad(level);
    std::string out = p + "Name: " + str(h.mName) + "\n";
    out += p + "Level: " + std::to_string(h.mLevel) + "\n";
    if (!h.mEnableCmd.isEmpty()) out += p + "Enable cmd: " + str(h.mEnableCmd) + "\n";
    for (size_t i = 0; i < h.mEnableParas.size(); ++i) {
        out += p + "Enable Para " + std::to_string(i) + ": " + str(h.mEnableParas[i]) + "\n";
    }
    if (!h.mDumpCmd.isEmpty()) out += p + "Dump cmd: " + str(h.mDumpCmd) + "\n";
    for (size_t i = 0; i < h.mDumpParas.size(); ++i) {
        out += p + "Dump Para " + std::to_string(i) + ": " + str(h.mDumpParas[i]) + "\n";
    }
    return out;
}

std::string eventBlock(const TarnDebugService::Event& e, int level) {
    const std::string p = pad(level);
    std::string out = p + "Event: " + str(e.mName) + ", Policy: " + std::to_string(e.mPolicy) +
                      ", Dump " + std::to_string(e.mDumpCount) + " times\n";
    out += p + "Uevent hints: ";
    for (size_t i = 0; i < e.mUeventHints.size(); ++i) out += str(e.mUeventHints[i]) + ", ";
    out += "\n" + p + "Key words: ";
    for (size_t i = 0; i < e.mKeyWords.size(); ++i) out += str(e.mKeyWords[i]) + ", ";
    out += "\n" + p + "Handlers: \n";
    for (size_t i = 0; i < e.mHandlers.size(); ++i) {
        out += handlerBlock(e.mHandlers[i], level + 1);
        out += pad(level + 1) + "Enabled: " + (e.mHandlers[i].mEnabled ? "1" : "0") + "\n";
    }
    return out;
}

std::string expectedReport(const TarnDebugService* s) {
    std::string out;
    out += "Config File Path: " + std::string(s->mConfigPath) + "\n";
    out += "Log Dump Path: " + str(s->mLogDumpPath) + "\n";
    out += "Additional Config Path: " + str(s->mAdditionalConfPath) + "\n";
    out += std::string("Enable Logcat Grep: ") + (s->mLogcatGrep ? "1" : "0") + "\n";
    out += std::string("Enable Kmsg Grep: ") + (s->mKmsgGrep ? "1" : "0") + "\n";
    out += "MaxEventsDumped: " + std::to_string(s->mMaxDumpCount) + "\n";
    out += "MaxLogSize: " + std::to_string(s->mMaxDumpSpace) + "MB\n";
    out += "MinFreeSpace: " + std::to_string(s->mMinFreeSpace) + "MB\n";
    if (!s->mGlobalHandlers.isEmpty()) out += "Global handlers:\n";
    for (size_t i = 0; i < s->mGlobalHandlers.size(); ++i) {
        out += handlerBlock(s->mGlobalHandlers[i], 1);
        out += pad(1) + "Enabled: " + (s->mGlobalHandlers[i].mEnabled ? "1" : "0") + "\n";
    }
    for (size_t i = 0; i < s->mMonitors.size(); ++i) {
        const TarnDebugService::Monitor& m = s->mMonitors[i];
        out += "Monitor: " + str(m.mName) + ", Enabled: " + (m.mEnabled ? "1" : "0") +
               ", Level: " + std::to_string(m.mLevel) + "\n";
        for (size_t e = 0; e < m.mEvents.size(); ++e) out += eventBlock(m.mEvents[e], 1);
    }
    // No dump was made, so there is no history line.
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gSandbox = &tarnd_fuzz::Sandbox::forProcess();
    gInputPath = new std::string(gSandbox->file("input.conf"));
    gMkdirLog = new std::string(gSandbox->file("mkdir.log"));

    // The only command on PATH: a mkdir that records what the shell handed it and creates nothing.
    const std::string bin = gSandbox->file("bin");
    if (mkdir(bin.c_str(), 0700) != 0) fail("cannot create " + bin);
    const std::string stub = "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >> '" + *gMkdirLog + "'\n";
    const std::string stubPath = bin + "/mkdir";
    writeFileOrDie(stubPath, reinterpret_cast<const uint8_t*>(stub.data()), stub.size());
    if (chmod(stubPath.c_str(), 0700) != 0) fail("cannot make " + stubPath + " executable");
    setenv("PATH", bin.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A new file each time: ext4 flushes a file that was truncated and rewritten when it is
    // closed, which would cost a disk write per input.
    unlink(gInputPath->c_str());
    writeFileOrDie(*gInputPath, data, size);
    unlink(gMkdirLog->c_str());

    tarnd_fuzz::IdleService idle(*gSandbox);
    TarnDebugService* s = idle.service.get();
    android::status_t status = s->parseConfig(gInputPath->c_str());
    if (status == android::NO_ERROR && s->mUseAdditionalConf) {
        status = s->parseConfig(gInputPath->c_str());
    }
    if (status != android::NO_ERROR && status != android::BAD_VALUE) {
        fail("parse status " + std::to_string(status));
    }

    checkRecords(s);

    const String8 report = s->dumpStatus();
    const std::string expected = expectedReport(s);
    if (str(report) != expected) {
        fail("report differs\n--- report:\n" + str(report) + "\n--- expected:\n" + expected);
    }

    const std::vector<std::vector<std::string>> calls = mkdirCalls();
    for (const std::vector<std::string>& args : calls) {
        if (args.size() != 2 || args[0] != "-p") {
            std::string what = "mkdir got " + std::to_string(args.size()) + " words:";
            for (const std::string& a : args) what += " [" + a + "]";
            fail(what);
        }
    }
    // The path of the last such line is the one that stays.
    if (calls.empty() ? !s->mLogDumpPath.isEmpty() : calls.back()[1] != str(s->mLogDumpPath)) {
        fail("the directory command did not get the log dump path [" + str(s->mLogDumpPath) + "]");
    }
    return 0;
}
