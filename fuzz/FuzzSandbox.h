// What the fuzz targets that need a service share: a private temporary directory for every path
// the service touches, an idle service on it, and a quiet, balanced log store.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <tarnd_host/LogStore.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "service/TarnDebugService.h"

namespace tarnd_fuzz {

/// A fresh directory under $TMPDIR (or /tmp), removed with its contents when it goes away. After
/// a crash it stays, with whatever the failing input left in it.
class Sandbox {
  public:
    Sandbox() {
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                            "/tarnd_fuzz.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        mPath = buf.data();
    }
    ~Sandbox() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // One sandbox for the whole run, removed by an exit handler: libFuzzer ends a run with exit(),
    // and the services built on the sandbox are never destroyed before that.
    static const Sandbox& forProcess() {
        static const Sandbox* sandbox = [] {
            const Sandbox* created = new Sandbox();
            atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(forProcess().path(), ignored);
            });
            return created;
        }();
        return *sandbox;
    }

    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

  private:
    std::string mPath;
};

/// Log messages go only into the bounded store, which is filled to its capacity up front: from
/// then on every message logged drops the oldest one, so an input's allocations and frees balance
/// and libFuzzer's leak check after each input keeps working instead of being switched off.
inline void quietBalancedLog() {
    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    store.setEcho(false);
    for (size_t i = 0; i < tarnd_host::LogStore::kCapacity; ++i) {
        tarnd_host::LogRecord record;
        record.tag = "tarnd-fuzz-filler-tag";
        record.msg = "a filler record, long enough to live on the heap";
        store.append(std::move(record));
    }
}

/// An idle service (its configuration file does not exist) whose paths all lie in the sandbox.
/// The sandbox must outlive it: the service keeps pointers to the path strings.
struct IdleService {
    explicit IdleService(const Sandbox& sandbox)
        : configPath(sandbox.file("no-such.conf")),
          dataPath(sandbox.path()),
          kmsgPath(sandbox.file("no-kmsg")) {
        android::TarnDebugService::Paths paths;
        paths.configPath = configPath.c_str();
        paths.dataPath = dataPath.c_str();
        paths.kmsgPath = kmsgPath.c_str();
        service = new android::TarnDebugService(paths);
    }

    // Every dump is refused at its first check, after it measured the (empty) sandbox: the
    // event paths run for real but never reach a shell.
    void refuseDumps() {
        service->mLogDumpPath = dataPath.c_str();
        service->mMinFreeSpace = std::numeric_limits<int32_t>::max();
    }

    std::string configPath;
    std::string dataPath;
    std::string kmsgPath;
    android::sp<android::TarnDebugService> service;
};

}  // namespace tarnd_fuzz
