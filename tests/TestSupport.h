// Helpers shared by the unit tests: scoped temporary directories, small file utilities and a
// service built on test paths.
#pragma once

#include <stdint.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "detectors/KeywordMatcher.h"
#include "service/TarnDebugService.h"

namespace tarnd_test {

/// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

  private:
    std::string mPath;
};

void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Names of the entries of a directory, without "." and "..", sorted.
std::vector<std::string> listDir(const std::string& path);
// Removes a tree without following symbolic links.
void removeTree(const std::string& path);

inline bool isRoot() { return geteuid() == 0; }
// CAP_NET_ADMIN in the effective set: sending to the uevent group needs it, and root in a
// container may lack it.
bool hasNetAdmin();

// Whether a process whose command line holds the text is running (zombies have none).
bool processRunning(const std::string& text);
// Descriptors open in this process, for leak checks.
std::vector<int> openFds();
// Threads of this process.
int threadCount();
// Names of this process's threads, sorted (sanitizer runtimes may add threads of their own, so
// compare names of ours rather than counts).
std::vector<std::string> threadNames();
// How many threads of this process carry the name.
int threadsNamed(const std::string& name);
// Waits until `count` threads carry the name (a worker names itself once it runs); returns how
// many do when it stops waiting.
int threadsNamedSoon(const std::string& name, int count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Waits until no thread carries the name: a joined thread may stay listed for a moment while the
// kernel (or an emulator) lets it go.
bool threadGone(const std::string& name,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// Builds a service whose paths are all test paths: the given configuration, the temporary
/// directory as free-space path and a kmsg path that does not exist,
/// so that the kernel log detector ends at once.
android::sp<android::TarnDebugService> makeService(const std::string& configPath,
                                                   const std::string& dataPath);

// Sequence number the next log record will get: where waitForMessage starts looking.
uint64_t logPosition();
// Waits until a message equal to msg has been logged under the tag at or after log position from.
// Looks at each record once, so that it stays cheap while tens of thousands of lines arrive.
bool waitForMessage(uint64_t from, const std::string& msg,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    const char* tag = "TarnDebugService");

// The worked example configuration of the reference, dumping under dumpPath.
std::string workedExampleConfig(const std::string& dumpPath);

// Gives the service an internal channel of its own, as start-up does.
bool openChannel(android::TarnDebugService& service);
// A handler switched on at the level; the parameters go to both lists.
android::TarnDebugService::Handler makeHandler(const char* name, int32_t level, const char* dumpCmd,
                                               const char* enableCmd = "",
                                               const std::vector<std::string>& paras = {});
android::TarnDebugService::Event makeEvent(
        const char* name, const std::vector<android::TarnDebugService::Handler>& handlers = {});

// The captured messages joined by "|", WARN ones marked "W:", ERROR ones "E:", free space
// figures as "*".
std::string logText(const tarnd_host::LogCapture& log);

// A clock for the service's mTime that reads gNow.
extern time_t gNow;
time_t fixedTime(time_t* out);

// What the internal channel's receiving end holds now, without waiting.
std::string readChannel(const android::TarnDebugService& service);

/// An idle service with the internal channel and the compiled key words that the detectors match
/// with, as start-up leaves them.
struct ChannelService {
    explicit ChannelService(const std::vector<android::KeywordMatcher::Entry>& events);
    std::string drain() const { return readChannel(*service); }

    TempDir dir;
    android::sp<android::TarnDebugService> service;
};

}  // namespace tarnd_test
