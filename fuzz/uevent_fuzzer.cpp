// One uevent datagram (the input, as the socket would deliver it) through the TARND_EVENT parser
// and through the monitor thread's uevent handling against a fixed set of monitors.
//
// Model: after the header string, the zero-terminated strings up to the first empty one (a last
// one may lack its zero byte); the last one holding TARND_EVENT and "=" gives the text after its
// first "=", cut to 127 bytes. The thread logs that value, then dumps, in monitor and event order,
// each event of an enabled monitor with a hint equal to the value, each name once.
#include <sanitizer/asan_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "events/MonitorThread.h"
#include "events/UeventParser.h"
#include "fuzz/FuzzSandbox.h"

using android::String8;
using android::TarnDebugService;
using tarnd_fuzz::printable;

namespace {

struct FixedEvent {
    std::string monitor;
    bool enabled;
    std::string name;
    std::vector<std::string> hints;
};

// Repeated names across monitors, a disabled monitor, hints at and beyond the 127-byte cut, and
// hints with blanks, "=" and bytes outside ASCII.
const std::vector<FixedEvent>& fixedEvents() {
    static const std::vector<FixedEvent>* events = new std::vector<FixedEvent>{
            {"graphics", true, "gpu_hang", {"gpu_hang", "hang"}},
            {"graphics", true, "any_hang", {"hang", "gpu_hang"}},
            {"off", false, "display", {"display", "gpu_hang"}},
            {"extra", true, "gpu_hang", {"other_gpu"}},
            {"extra", true, "display", {"display"}},
            {"extra", true, "long", {std::string(127, 'L'), std::string(128, 'M')}},
            {"extra", true, "odd", {" ", "a b", "x=y", "\xff\x01", "TARND_EVENT"}},
    };
    return *events;
}

std::string modelValue(const std::string& msg) {
    std::string value;
    for (size_t start = msg.find('\0'); start != std::string::npos && start + 1 < msg.size();) {
        const size_t end = std::min(msg.find('\0', start + 1), msg.size());
        const std::string text = msg.substr(start + 1, end - start - 1);
        if (text.empty()) break;
        if (text.find("TARND_EVENT") != std::string::npos && text.find('=') != std::string::npos) {
            value = text.substr(text.find('=') + 1, 127);
        }
        start = end;
    }
    return value;
}

[[noreturn]] void fail(const std::string& what, const std::string& msg) {
    fprintf(stderr, "uevent_fuzzer: %s\ndatagram: \"%s\"\n", what.c_str(), printable(msg).c_str());
    abort();
}

tarnd_fuzz::IdleService* gIdle;  // held to the end, so that LeakSanitizer sees it kept
android::sp<android::MonitorThread>* gThread;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gIdle = new tarnd_fuzz::IdleService();
    gIdle->refuseDumps();
    TarnDebugService* service = gIdle->service.get();
    for (const FixedEvent& fixed : fixedEvents()) {
        if (service->mMonitors.isEmpty() ||
            service->mMonitors[service->mMonitors.size() - 1].mName != fixed.monitor.c_str()) {
            TarnDebugService::Monitor monitor(service, String8(fixed.monitor.c_str()));
            monitor.mEnabled = fixed.enabled;
            service->mMonitors.add(monitor);
        }
        TarnDebugService::Event event(service, String8(fixed.name.c_str()));
        for (const std::string& hint : fixed.hints) event.mUeventHints.add(String8(hint.c_str()));
        service->mMonitors.editItemAt(service->mMonitors.size() - 1).mEvents.add(event);
    }
    gThread = new android::sp<android::MonitorThread>(new android::MonitorThread(service));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    android::MonitorThread* thread = gThread->get();
    // A receive takes at most one byte less than the buffer; the rest of a datagram is cut off.
    const size_t count = std::min(size, sizeof(thread->mMsgBuf) - 1);
    const std::string msg(reinterpret_cast<const char*>(data), count);
    const std::string value = modelValue(msg);

    // Exactly the received bytes on the heap, so that a read past them is caught.
    std::unique_ptr<char[]> bytes(new char[std::max<size_t>(count, 1)]);
    memcpy(bytes.get(), msg.data(), count);
    const std::string parsed = android::parseUeventValue(bytes.get(), count);
    if (parsed != value)
        fail("parsed \"" + printable(parsed) + "\", model \"" + printable(value) + "\"", msg);

    tarnd_host::LogCapture capture;
    memcpy(thread->mMsgBuf, msg.data(), count);
    thread->mMsgSize = static_cast<int32_t>(count);
    // Past the received bytes and their terminator nothing may be read.
    char* tail = thread->mMsgBuf + count + 1;
    ASAN_POISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - count - 1);
    thread->handleMessage(false);
    ASAN_UNPOISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - count - 1);

    std::string want, got;
    std::vector<std::string> dumped;
    if (!value.empty()) {
        want = "Receive uevent: " + value + "\n";
        for (const FixedEvent& e : fixedEvents()) {
            if (e.enabled && std::count(e.hints.begin(), e.hints.end(), value) > 0 &&
                std::count(dumped.begin(), dumped.end(), e.name) == 0) {
                dumped.push_back(e.name);
                want += "Receive uevent, dump log for event: " + e.name + "\n";
            }
        }
    }
    for (const std::string& message : capture.messages()) {
        if (message.compare(0, 14, "Receive uevent") == 0) got += message + "\n";
    }
    if (got != want) fail("monitor thread log:\n" + got + "model:\n" + want, msg);
    return 0;
}
