#pragma once

#include <stdint.h>
#include <utils/Thread.h>

#include "base/Pause.h"

namespace android::tarnd {

/// The shape every worker thread of the daemon shares: a name, a pause that a stop request ends
/// at once, and a back-off for failures that repeat. Each worker writes only its loop body.
class Worker : public Thread {
  public:
    // Starts the thread under its name.
    status_t start();
    // Also ends the current pause and every later one, so that the thread can be joined.
    void requestExit() override;
    // Names the thread as it starts, then prepares it.
    status_t readyToRun() final;

  protected:
    // Native threads: none of them ever calls into Java.
    explicit Worker(const char* name);

    // The worker's own set-up on its thread, before the first loop; a non-zero result ends it.
    virtual status_t prepare() { return NO_ERROR; }
    // After a failure that is not a mere interrupt: logs the first of a streak at ERROR, then
    // pauses, longer each time, so that a persistent error never keeps a core busy. False when
    // the worker is asked to exit.
    bool pauseAfterFailure(const char* format, ...) __attribute__((format(printf, 2, 3)));

    InterruptiblePause mPause;  // woken by requestExit; its descriptor can join a poll set
    Backoff mBackoff;           // failures in a row

  private:
    const char* mName;
};

}  // namespace android::tarnd
