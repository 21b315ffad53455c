// Helpers shared by the unit tests: scoped temporary directories, small file utilities and a
// service built on test paths.
#pragma once

#include <stdint.h>
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
// What the service's channel holds now, without waiting.
std::string channelBytes(const android::TarnDebugService& service);

/// An idle service with the internal channel and the compiled key words that the detectors match
/// with, as start-up leaves them.
struct ChannelService {
    explicit ChannelService(const std::vector<android::KeywordMatcher::Entry>& events);
    // What the channel holds now, without waiting.
    std::string drain() const;

    TempDir dir;
    android::sp<android::TarnDebugService> service;
};

}  // namespace tarnd_test
