// Host-only: the in-process log buffers behind the liblog stand-in. Every message written with
// __android_log_print lands here (buffer main) as well as on standard error; tests read it back
// and append records of other processes.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tarnd_host {

/// One log record as the host buffers keep it.
struct LogRecord {
    uint64_t seq = 0;  // position in the store, counting from 0
    int logId = 0;     // 0 main, 1 radio, 2 events, 3 system
    int32_t pid = 0;
    int32_t tid = 0;
    uint32_t sec = 0;
    uint32_t nsec = 0;
    int prio = 0;
    std::string tag;
    std::string msg;
};

/// The bounded, process-wide record store shared by the writer, the readers and the tests.
class LogStore {
  public:
    static LogStore& instance();

    // Appends a record, stamping seq and (when zero) the time, and wakes blocked readers.
    void append(LogRecord record);
    // Sequence number the next record will get.
    uint64_t nextSeq() const;
    // Calls fn on every retained record with seq >= from, in order, under the store's lock.
    void forEach(uint64_t from, const std::function<void(const LogRecord&)>& fn) const;
    // Waits until a record with seq >= from exists, stop() returns true, or the deadline passes.
    // Returns true when such a record exists. stop is evaluated under the store's lock.
    bool waitFor(uint64_t from, const std::function<bool()>& stop,
                 std::chrono::steady_clock::time_point deadline);
    // Copies the record with this seq (or the oldest retained after it) into out; false if none.
    bool read(uint64_t seq, LogRecord* out) const;
    // Wakes every waiter so that it re-checks its stop condition.
    void wakeAll();
    // Threads inside waitFor right now, so that a test knows a reader is blocked.
    size_t waiting() const;

    // Echo of each message to standard error (on by default).
    void setEcho(bool on);
    bool echo() const;

    static constexpr size_t kCapacity = 200000;

  private:
    LogStore() = default;

    mutable std::mutex mLock;
    std::condition_variable mCond;
    std::deque<LogRecord> mRecords;
    uint64_t mFirstSeq = 0;
    size_t mWaiting = 0;
    bool mEcho = true;
};

/// One captured message, for assertions.
struct LogLine {
    int prio;
    std::string tag;
    std::string msg;
};

/// Test seam: the messages logged by this process from the capture's construction on.
class LogCapture {
  public:
    LogCapture();

    // Messages under the tag (all tags when tag is null), in order.
    std::vector<LogLine> lines(const char* tag = "TarnDebugService") const;
    std::vector<std::string> messages(const char* tag = "TarnDebugService") const;
    // How many captured messages under the tag equal msg.
    size_t count(const std::string& msg, const char* tag = "TarnDebugService") const;
    bool contains(const std::string& msg, const char* tag = "TarnDebugService") const {
        return count(msg, tag) > 0;
    }
    // Waits until pred holds for the captured lines, up to the timeout.
    bool waitUntil(const std::function<bool(const std::vector<LogLine>&)>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   const char* tag = "TarnDebugService") const;
    // Waits until at least n messages equal msg.
    bool waitFor(const std::string& msg, size_t n = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 const char* tag = "TarnDebugService") const;

  private:
    uint64_t mStart;
};

// Appends a record to a buffer as if another process had logged it.
void injectLogRecord(int logId, int32_t pid, int32_t tid, int prio, const std::string& tag,
                     const std::string& msg);

}  // namespace tarnd_host
