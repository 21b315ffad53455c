#pragma once

#include <stdint.h>

#include "service/Worker.h"

namespace android::tarnd {

class TarnDebugService;

/// Keeps only the newest dump directories: one collection at start, then one per interval.
class LogGCThread : public Worker {
  public:
    LogGCThread(TarnDebugService* service, int32_t interval);

    TarnDebugService* mService;
    int32_t mInterval;  // seconds between collections

  private:
    bool threadLoop() override;
};

}  // namespace android::tarnd
