// What the fuzz targets share: a private temporary directory for every path the service touches,
// an idle service on it, a quiet, balanced log store and a printable form of raw bytes.
#pragma once

#include <tarnd_host/LogStore.h>

#include <limits>
#include <string>

#include "service/TarnDebugService.h"
#include "tests/TestSupport.h"

namespace tarnd_fuzz {

/// One fresh directory under $TMPDIR (or /tmp) for the whole run, removed at exit (libFuzzer ends
/// a run with exit()); after a crash it stays, with whatever the failing input left in it.
inline const std::string& sandboxDir() {
    static const tarnd_test::ScratchDir dir("tarnd_fuzz");
    return dir.path();
}

/// Log messages go only into the bounded store, filled to its capacity up front with records
/// whose strings live on the heap: every message then drops the oldest one, so an input's
/// allocations and frees balance and libFuzzer's leak check after each input stays on.
inline void quietBalancedLog() {
    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    store.setEcho(false);
    for (size_t i = 0; i < tarnd_host::LogStore::kCapacity; ++i)
        store.append({0, 0, 0, 0, 0, 0, 0, std::string(24, 't'), std::string(48, 'm')});
}

/// An idle service (its configuration file does not exist) whose paths all lie in the sandbox.
/// The service keeps pointers to the path strings.
struct IdleService {
    // Every dump is refused at its first check, after it measured the (empty) sandbox: the
    // event paths run for real but never reach a shell.
    void refuseDumps() {
        service->mLogDumpPath = dataPath.c_str();
        service->mMinFreeSpace = std::numeric_limits<int32_t>::max();
    }

    std::string configPath = sandboxDir() + "/no-such.conf", dataPath = sandboxDir();
    std::string kmsgPath = sandboxDir() + "/no-kmsg";
    android::sp<android::tarnd::TarnDebugService> service = new android::tarnd::TarnDebugService(
            {configPath.c_str(), dataPath.c_str(), kmsgPath.c_str()});
};

/// Bytes outside printable ASCII, and the backslash, as \xNN.
inline std::string printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out += static_cast<char>(c);
        else
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
    return out;
}

}  // namespace tarnd_fuzz
