// Host stand-in for libbinder's process state: there is no driver on the host.
#pragma once

#include <utils/RefBase.h>

namespace android {

class ProcessState : public virtual RefBase {
  public:
    static sp<ProcessState> self();
    void startThreadPool();

  private:
    ProcessState();
    ~ProcessState();
};

}  // namespace android
