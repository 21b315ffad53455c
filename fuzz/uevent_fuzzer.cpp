// One uevent datagram (the input, as the socket would deliver it) through the TARND_EVENT parser
// and through the monitor thread's uevent handling against a fixed set of monitors.
//
// The parser is checked against a model of the datagram format: after the header string, the
// zero-terminated strings up to the first empty one (a last string may lack its zero byte); the
// last one holding TARND_EVENT and "=" gives the text after its first "=", cut to 127 bytes.
// The monitor thread must then log that value and dump, in monitor and event order, each event of
// an enabled monitor that has a hint equal to the value, each name once.
#include <sanitizer/asan_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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

namespace {

struct FixedEvent {
    std::string name;
    std::vector<std::string> hints;
};

struct FixedMonitor {
    std::string name;
    bool enabled;
    std::vector<FixedEvent> events;
};

// Repeated names across monitors with different hints, a disabled monitor, hints at and beyond the
// 127-byte cut, and hints with blanks, "=" and bytes outside ASCII.
const std::vector<FixedMonitor>& fixedMonitors() {
    static const std::vector<FixedMonitor>* monitors = new std::vector<FixedMonitor>{
            {"graphics",
             true,
             {{"gpu_hang", {"gpu_hang", "hang"}},
              {"vpu_hang", {"vpu_hang"}},
              {"any_hang", {"hang", "gpu_hang"}}}},
            {"off", false, {{"display", {"display", "vpu_hang"}}, {"off_only", {"off"}}}},
            {"extra",
             true,
             {{"gpu_hang", {"other_gpu"}},
              {"display", {"display"}},
              {"long", {std::string(127, 'L'), std::string(128, 'M')}},
              {"odd", {" ", "a b", "x=y", "\xff\x01", "TARND_EVENT"}}}},
            {"empty", true, {}},
    };
    return *monitors;
}

std::string modelValue(const std::string& msg) {
    size_t header = msg.find('\0');
    if (header == std::string::npos) return "";
    std::string value;
    size_t start = header + 1;
    while (start < msg.size()) {
        size_t end = std::min(msg.find('\0', start), msg.size());
        const std::string text = msg.substr(start, end - start);
        if (text.empty()) break;
        size_t equals = text.find('=');
        if (text.find("TARND_EVENT") != std::string::npos && equals != std::string::npos) {
            value = text.substr(equals + 1, 127);
        }
        start = end + 1;
    }
    return value;
}

std::vector<std::string> modelDumps(const std::string& value) {
    std::vector<std::string> dumped;
    if (value.empty()) return dumped;
    for (const FixedMonitor& monitor : fixedMonitors()) {
        if (!monitor.enabled) continue;
        for (const FixedEvent& event : monitor.events) {
            if (std::find(dumped.begin(), dumped.end(), event.name) != dumped.end()) continue;
            if (std::find(event.hints.begin(), event.hints.end(), value) != event.hints.end()) {
                dumped.push_back(event.name);
            }
        }
    }
    return dumped;
}

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

[[noreturn]] void fail(const std::string& what, const std::string& msg) {
    fprintf(stderr, "uevent_fuzzer: %s\ndatagram: \"%s\"\n", what.c_str(), printable(msg).c_str());
    abort();
}

const tarnd_fuzz::Sandbox* gSandbox;
tarnd_fuzz::IdleService* gIdle;
android::sp<android::MonitorThread>* gThread;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gSandbox = &tarnd_fuzz::Sandbox::forProcess();
    gIdle = new tarnd_fuzz::IdleService(*gSandbox);
    gIdle->refuseDumps();
    TarnDebugService* service = gIdle->service.get();
    for (const FixedMonitor& fixed : fixedMonitors()) {
        TarnDebugService::Monitor monitor(service, String8(fixed.name.c_str()));
        monitor.mEnabled = fixed.enabled;
        for (const FixedEvent& fixedEvent : fixed.events) {
            TarnDebugService::Event event(service, String8(fixedEvent.name.c_str()));
            for (const std::string& hint : fixedEvent.hints) {
                event.mUeventHints.add(String8(hint.c_str()));
            }
            monitor.mEvents.add(event);
        }
        service->mMonitors.add(monitor);
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
    if (parsed != value) {
        fail("parsed \"" + printable(parsed) + "\", model \"" + printable(value) + "\"", msg);
    }

    tarnd_host::LogCapture capture;
    memcpy(thread->mMsgBuf, msg.data(), count);
    thread->mMsgSize = static_cast<int32_t>(count);
    // Past the received bytes and their terminator nothing may be read.
    char* tail = thread->mMsgBuf + count + 1;
    ASAN_POISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - count - 1);
    thread->handleMessage(false);
    ASAN_UNPOISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - count - 1);

    std::vector<std::string> want;
    // An empty datagram is never handled: the receive loop drops it first.
    if (!value.empty() && count > 0) {
        want.push_back("Receive uevent: " + value);
        for (const std::string& name : modelDumps(value)) {
            want.push_back("No enough space");
            want.push_back("Receive uevent, dump log for event: " + name);
        }
    }
    std::vector<std::string> got;
    for (const std::string& message : capture.messages()) {
        if (message.compare(0, 5, "free=") == 0) continue;  // measured sizes, not compared
        got.push_back(message.compare(0, 15, "No enough space") == 0 ? "No enough space" : message);
    }
    if (got != want) {
        std::string what = "monitor thread log differs; got:";
        for (const std::string& m : got) what += "\n  " + printable(m);
        what += "\nmodel:";
        for (const std::string& m : want) what += "\n  " + printable(m);
        fail(what, msg);
    }
    return 0;
}
