// Helpers shared by the unit tests: scratch directories (the fuzz targets and benchmarks use
// those too), small file utilities, waits for threads and processes to end, and services built on
// scratch directories.
#pragma once

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/UniqueDir.h"
#include "base/UniqueFd.h"
#include "detectors/KeywordMatcher.h"
#include "service/TarnDebugService.h"

namespace tarnd_test {

using Service = android::tarnd::TarnDebugService;

inline void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// What could be read; a /proc file of a thread or process that is just ending fails with ESRCH,
// on which a stream would throw.
inline std::string readFile(const std::string& path) {
    std::string contents;
    const android::tarnd::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    ssize_t n;
    while (fd.get() >= 0 && (n = TEMP_FAILURE_RETRY(read(fd.get(), buffer, sizeof(buffer)))) > 0)
        contents.append(buffer, static_cast<size_t>(n));
    return contents;
}

// The text with every occurrence of `from` replaced by `to`.
inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
         at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Whether the text matches the glob pattern ("*" any text, "?" any one character).
inline bool matches(const std::string& pattern, const std::string& text) {
    return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names of the entries of a directory, without "." and "..", sorted.
inline std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    android::tarnd::UniqueDir dir(opendir(path.c_str()));
    while (struct dirent* e = dir ? readdir(dir.get()) : nullptr)
        if (!android::tarnd::isDotOrDotDot(e->d_name)) names.push_back(e->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

/// A fresh directory under $TMPDIR (or /tmp), removed with its contents, whatever was left
/// unreadable in it.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix = "tarnd_test") {
        const char* base = getenv("TMPDIR");
        mPath = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
        if (mkdtemp(&mPath[0]) == nullptr) throw std::runtime_error("mkdtemp failed: " + mPath);
    }
    ~ScratchDir() { remove(mPath); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }
    // Removes a tree without following links.
    static void remove(const std::string& path) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return (void)unlink(path.c_str());
        chmod(path.c_str(), 0700);
        for (const std::string& name : listDir(path)) remove(path + "/" + name);
        rmdir(path.c_str());
    }

  private:
    std::string mPath;
};

inline bool isRoot() { return geteuid() == 0; }

// CAP_NET_ADMIN in the effective set: sending to the uevent group needs it, and root in a
// container may lack it.
inline bool hasNetAdmin() {
    const std::string status = readFile("/proc/self/status");
    return std::stoull(status.substr(status.find("CapEff:") + 7), nullptr, 16) >> CAP_NET_ADMIN & 1;
}

// The most memory this process has held so far (VmHWM), in KiB.
inline long peakMemoryKiB() {
    const std::string status = readFile("/proc/self/status");
    return std::stol(status.substr(status.find("VmHWM:") + 6));
}

// A file of one line of size bytes (zero bytes, sparse: writing it allocates nothing), then rest.
inline void writeLongLine(const std::string& path, off_t size, const std::string& rest) {
    writeFile(path, "");
    if (truncate(path.c_str(), size) != 0) throw std::runtime_error("truncate failed");
    std::ofstream(path, std::ios::app) << "\n" << rest;
}

// Polls the condition every millisecond for up to 5 s: whether it came true.
template <typename Condition>
bool soon(Condition condition) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);;
         usleep(1000)) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

// Whether, within 5 s, no process's command line holds the text (a zombie's is empty): one that
// was just killed may not have run its exit yet.
inline bool processGone(const std::string& text) {
    return soon([&] {
        for (const std::string& pid : listDir("/proc")) {
            std::string line = readFile("/proc/" + pid + "/cmdline");
            std::replace(line.begin(), line.end(), '\0', ' ');
            if (isdigit(pid[0]) && line.find(text) != std::string::npos) return false;
        }
        return true;
    });
}

// Descriptors open in this process, for leak checks, in the listing's order (the same for the
// same set); the listing's own is closed again by the time F_GETFD looks.
inline std::vector<int> openFds() {
    std::vector<int> fds;
    for (const std::string& name : listDir("/proc/self/fd"))
        if (fcntl(atoi(name.c_str()), F_GETFD) >= 0) fds.push_back(atoi(name.c_str()));
    return fds;
}

// Names of this process's threads, sorted (sanitizer runtimes may add threads of their own, so
// compare names of ours rather than counts).
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const std::string& tid : listDir("/proc/self/task")) {
        std::string name = readFile("/proc/self/task/" + tid + "/comm");
        if (!name.empty()) names.push_back(name.substr(0, name.size() - (name.back() == '\n')));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Waits up to 5 s until `count` threads carry the name (a worker names itself once it runs; a
// joined one may stay listed for a moment); returns how many do when it stops waiting.
inline int threadsNamedSoon(const std::string& name, int count = 1) {
    int n = 0;
    soon([&] {
        const std::vector<std::string> names = threadNames();
        return (n = static_cast<int>(std::count(names.begin(), names.end(), name))) == count;
    });
    return n;
}

inline bool threadGone(const std::string& name) { return threadsNamedSoon(name, 0) == 0; }

// The name a thread started as `name` shows in /proc: the kernel keeps 15 characters.
inline std::string shownName(const char* name) { return std::string(name).substr(0, 15); }

/// Builds a service whose paths are all test paths: the given configuration, dataPath as
/// free-space path and a kmsg path that does not exist, so that the kernel log detector ends at
/// once.
inline android::sp<Service> makeService(const std::string& configPath,
                                        const std::string& dataPath) {
    // The service keeps the pointers: the strings outlive every service.
    static std::deque<std::string>& keep = *new std::deque<std::string>();
    Service::Paths paths;
    paths.configPath = keep.emplace_back(configPath).c_str();
    paths.dataPath = keep.emplace_back(dataPath).c_str();
    paths.kmsgPath = keep.emplace_back(dataPath + "/no-kmsg").c_str();
    return new Service(paths);
}

// Sequence number the next log record will get: where waitForMessage starts looking.
inline uint64_t logPosition() { return tarnd_host::LogStore::instance().nextSeq(); }

// Waits until the service has logged the message at or after log position from. Looks at each
// record once, so that it stays cheap while tens of thousands of lines arrive.
inline bool waitForMessage(uint64_t from, const std::string& msg,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    // A record at or after from is there once the wait says so.
    for (tarnd_host::LogRecord r; store.waitFor(
                 from, [] { return false; }, deadline);
         from = r.seq + 1)
        if (store.read(from, &r) && r.tag == "TarnDebugService" && r.msg == msg) return true;
    return false;
}

// The worked example configuration, dumping under dumpPath.
inline std::string workedExampleConfig(const std::string& dumpPath) {
    return "// dump area and limits\nglobal.log_dump_path=" + dumpPath +
           "\nglobal.max_dump_count=5\nglobal.min_free_space=256\nhandler.dmesg.dump=dmesg > "
           "dmesg.txt\nhandler.dmesg.on=1\nhandler.dmesg.level=1\nhandler.state.dump=cat\n"
           "handler.state.dpara=/sys/kernel/debug/state > state.txt\nhandler.state.on=1\n"
           "ghandler.logcat.dump=logcat -d -f logcat.txt\nghandler.logcat.on=1\n"
           "ghandler.logcat.level=0\nevent.hang.key_word=GPU HANG\nevent.hang.uevent=hang\n"
           "event.hang.policy=once\nevent.hang.handler.dmesg.level=0\nevtgroup.gpu.event=hang\n"
           "monitor.main.enable=1\nmonitor.main.level=1\nmonitor.main.evtgroup=gpu\n";
}

// A handler switched on at the level; the parameters go to both lists.
inline Service::Handler makeHandler(const char* name, int32_t level, const char* dumpCmd,
                                    const char* enableCmd = "",
                                    const std::vector<std::string>& paras = {}) {
    Service::Handler handler(nullptr, android::String8(name));
    handler.mLevel = level;
    handler.mEnabled = true;
    handler.mDumpCmd = android::String8(dumpCmd);
    handler.mEnableCmd = android::String8(enableCmd);
    for (const std::string& para : paras) handler.mEnableParas.add(android::String8(para.c_str()));
    handler.mDumpParas = handler.mEnableParas;
    return handler;
}

inline Service::Event makeEvent(const char* name,
                                const std::vector<Service::Handler>& handlers = {}) {
    Service::Event event(nullptr, android::String8(name));
    for (const auto& handler : handlers) event.mHandlers.add(handler);
    return event;
}

// The captured messages joined by "|", WARN ones marked "W:", ERROR ones "E:", free space
// figures as "*".
std::string logText(const tarnd_host::LogCapture& log);

// A clock for the service's mTime that reads gNow.
inline time_t gNow;
inline time_t fixedTime(time_t* out) { return out != nullptr ? (*out = gNow) : gNow; }

/// An idle service on a scratch directory (its configuration file does not exist), which is the
/// working directory while it lives: a command's relative file lands there.
struct ScratchService {
    ScratchService() { std::filesystem::current_path(dir.path()); }
    ~ScratchService() { std::filesystem::current_path(saved); }

    std::filesystem::path saved = std::filesystem::current_path();
    ScratchDir dir;
    android::sp<Service> service = makeService(dir.file("missing.conf"), dir.path());
};

/// An idle service with an internal channel of its own and the compiled key words that the
/// detectors match with, as start-up leaves them.
struct ChannelService : ScratchService {
    explicit ChannelService(const std::vector<android::tarnd::KeywordMatcher::Entry>& events) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        service->mSockets[0].reset(fds[0]);
        service->mSockets[1].reset(fds[1]);
        service->mKeywordMatcher.reset(new android::tarnd::KeywordMatcher());
        service->mKeywordMatcher->build(events);
    }
    // What the channel's receiving end holds now, without waiting.
    std::string drain() const {
        char buf[8192];
        const ssize_t n = recv(service->mSockets[1].get(), buf, sizeof(buf), MSG_DONTWAIT);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
};

// Milliseconds of this process's CPU time while it sleeps for a second: a thread that spins
// shows.
long cpuMsInASecond();

}  // namespace tarnd_test

// Parameterised cases are named by their rows' first member, as ctest lists them.
#define TARND_NAMED_ROWS(fixture, rows)                                                   \
    INSTANTIATE_TEST_SUITE_P(, fixture, ::testing::ValuesIn(rows), [](const auto& info) { \
        return std::string(std::get<0>(info.param));                                      \
    })
