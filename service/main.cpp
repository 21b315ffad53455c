// tarnd: collects graphics debugging logs when something goes wrong.
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>

#include "service/TarnDebugService.h"

using android::IPCThreadState;
using android::ProcessState;
using android::sp;

int main() {
    sp<ProcessState> proc(ProcessState::self());
    proc->startThreadPool();
    // Never released: the service lives as long as the process, running or idle.
    new android::tarnd::TarnDebugService();
    IPCThreadState::self()->joinThreadPool(true);
    proc.clear();
    return 0;
}
