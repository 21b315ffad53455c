// Host-only: what the libzel stand-in was handed. Each call of __zel_log_all is kept here, in
// order, so that tests can check what a dump reported.
#pragma once

#include <stddef.h>

#include <mutex>
#include <string>
#include <vector>

namespace tarnd_host {

/// The twelve arguments of one __zel_log_all call, the strings copied.
struct ZelCall {
    int type = 0;
    std::string module;
    std::string event;
    std::vector<int> args;  // the seven integers between the event name and the file list
    std::string fileList;
    int flags = 0;
};

/// The process-wide record of every call; safe to use from any thread.
class ZelRecorder {
  public:
    static ZelRecorder& instance();

    void record(ZelCall call);
    // Calls number from onwards, in order.
    std::vector<ZelCall> callsFrom(size_t from) const;
    // How many calls were made so far.
    size_t count() const;

  private:
    ZelRecorder() = default;

    mutable std::mutex mLock;
    std::vector<ZelCall> mCalls;
};

/// Test seam: the calls made from the capture's construction on.
class ZelCapture {
  public:
    ZelCapture() : mStart(ZelRecorder::instance().count()) {}

    std::vector<ZelCall> calls() const { return ZelRecorder::instance().callsFrom(mStart); }

  private:
    size_t mStart;
};

}  // namespace tarnd_host
