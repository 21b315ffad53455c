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
    // Held for the life of the process, running or idle; published only once it runs, and only
    // while this reference keeps it alive.
    using android::tarnd::TarnDebugService;
    sp<TarnDebugService> service =
            new TarnDebugService(TarnDebugService::Paths(), TarnDebugService::Start::kLater);
    if (service->start() == android::NO_ERROR) service->publish();
    IPCThreadState::self()->joinThreadPool(true);
    proc.clear();
    return 0;
}
