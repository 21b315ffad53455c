// Host stand-in for libbinder's per-thread state.
#pragma once

#include <utils/Errors.h>

namespace android {

class IPCThreadState {
  public:
    static IPCThreadState* self();
    // Serves nothing on the host and blocks for the life of the process.
    void joinThreadPool(bool isMain = true);

  private:
    IPCThreadState();
};

}  // namespace android
