// tarnd: collects graphics debugging logs when something goes wrong.
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>

#include "service/TarnDebugService.h"

using namespace android;

int main() {
    sp<ProcessState> proc(ProcessState::self());
    proc->startThreadPool();
    // Never released: the service lives as long as the process, running or idle.
    new TarnDebugService();
    IPCThreadState::self()->joinThreadPool(true);
    proc.clear();
    return 0;
}
