#include "TestSupport.h"

#include <android/log.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace tarnd_test {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tarnd_test.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    mPath = buf.data();
}

TempDir::~TempDir() { removeTree(mPath); }

std::string TempDir::file(const std::string& name) const { return mPath + "/" + name; }

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::vector<int> openFds() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    int self = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        int fd = atoi(e->d_name);
        if (fd != self) fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

bool hasNetAdmin() {
    const std::string status = readFile("/proc/self/status");
    const size_t at = status.find("\nCapEff:");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 9), nullptr, 16) >> CAP_NET_ADMIN & 1) != 0;
}

bool processRunning(const std::string& text) {
    for (const std::string& pid : listDir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = readFile("/proc/" + pid + "/cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

int threadCount() { return static_cast<int>(listDir("/proc/self/task").size()); }

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const std::string& tid : listDir("/proc/self/task")) {
        std::string name = readFile("/proc/self/task/" + tid + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        if (!name.empty()) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int threadsNamed(const std::string& name) {
    int n = 0;
    for (const std::string& t : threadNames()) n += t == name;
    return n;
}

int threadsNamedSoon(const std::string& name, int count, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int n = threadsNamed(name);
    while (n != count && std::chrono::steady_clock::now() < deadline) {
        usleep(1000);
        n = threadsNamed(name);
    }
    return n;
}

bool threadGone(const std::string& name, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (threadsNamed(name) > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(1000);
    }
    return true;
}

android::sp<android::TarnDebugService> makeService(const std::string& configPath,
                                                   const std::string& dataPath) {
    // The strings must outlive the service: it keeps the pointers.
    static std::deque<std::string>* keep = new std::deque<std::string>();
    keep->push_back(configPath);
    const char* config = keep->back().c_str();
    keep->push_back(dataPath);
    const char* data = keep->back().c_str();
    keep->push_back(dataPath + "/no-kmsg");
    const char* kmsg = keep->back().c_str();
    android::TarnDebugService::Paths paths;
    paths.configPath = config;
    paths.dataPath = data;
    paths.kmsgPath = kmsg;
    return new android::TarnDebugService(paths);
}

uint64_t logPosition() { return tarnd_host::LogStore::instance().nextSeq(); }

bool waitForMessage(uint64_t from, const std::string& msg, std::chrono::milliseconds timeout,
                    const char* tag) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    uint64_t next = from;
    bool found = false;
    for (;;) {
        store.forEach(next, [&](const tarnd_host::LogRecord& r) {
            next = r.seq + 1;
            if (r.tag == tag && r.msg == msg) found = true;
        });
        if (found) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        store.waitFor(
                next, [] { return false; }, deadline);
    }
}

std::string workedExampleConfig(const std::string& dumpPath) {
    return "// dump area and limits\nglobal.log_dump_path=" + dumpPath +
           "\nglobal.max_dump_count=5\nglobal.min_free_space=256\n"
           "handler.dmesg.dump=dmesg > dmesg.txt\nhandler.dmesg.on=1\nhandler.dmesg.level=1\n"
           "handler.state.dump=cat\nhandler.state.dpara=/sys/kernel/debug/state > state.txt\n"
           "handler.state.on=1\nghandler.logcat.dump=logcat -d -f logcat.txt\n"
           "ghandler.logcat.on=1\nghandler.logcat.level=0\nevent.hang.key_word=GPU HANG\n"
           "event.hang.uevent=hang\nevent.hang.policy=once\nevent.hang.handler.dmesg.level=0\n"
           "evtgroup.gpu.event=hang\nmonitor.main.enable=1\nmonitor.main.level=1\n"
           "monitor.main.evtgroup=gpu\n";
}

ChannelService::ChannelService(const std::vector<android::KeywordMatcher::Entry>& events)
    : service(makeService(dir.file("missing.conf"), dir.path())) {
    if (!openChannel(*service)) {
        throw std::runtime_error("socketpair failed");
    }
    service->mKeywordMatcher.reset(new android::KeywordMatcher());
    service->mKeywordMatcher->build(events);
}

bool openChannel(android::TarnDebugService& service) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    service.mSockets[0].reset(fds[0]);
    service.mSockets[1].reset(fds[1]);
    return true;
}

android::TarnDebugService::Handler makeHandler(const char* name, int32_t level, const char* dumpCmd,
                                               const char* enableCmd,
                                               const std::vector<std::string>& paras) {
    android::TarnDebugService::Handler handler(nullptr, android::String8(name));
    handler.mLevel = level;
    handler.mEnabled = true;
    handler.mDumpCmd = android::String8(dumpCmd);
    handler.mEnableCmd = android::String8(enableCmd);
    for (const std::string& para : paras) {
        handler.mEnableParas.add(android::String8(para.c_str()));
        handler.mDumpParas.add(android::String8(para.c_str()));
    }
    return handler;
}

android::TarnDebugService::Event makeEvent(
        const char* name, const std::vector<android::TarnDebugService::Handler>& handlers) {
    android::TarnDebugService::Event event(nullptr, android::String8(name));
    for (const auto& handler : handlers) event.mHandlers.add(handler);
    return event;
}

std::string logText(const tarnd_host::LogCapture& log) {
    std::string text;
    for (const tarnd_host::LogLine& line : log.lines()) {
        const char* mark = line.prio == ANDROID_LOG_WARN    ? "W:"
                           : line.prio == ANDROID_LOG_ERROR ? "E:"
                                                            : "";
        text += (text.empty() ? "" : "|") + std::string(mark) + line.msg;
    }
    return std::regex_replace(text, std::regex("(free=|CurrentFreeSpace: )[0-9]+MB"), "$1*MB");
}

time_t gNow;
time_t fixedTime(time_t* out) { return out != nullptr ? (*out = gNow) : gNow; }

std::string readChannel(const android::TarnDebugService& service) {
    char buf[8192];
    const ssize_t n = recv(service.mSockets[1].get(), buf, sizeof(buf), MSG_DONTWAIT);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace tarnd_test
