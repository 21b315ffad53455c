// One uevent datagram (the input, as the socket would deliver it) through the uevent parsers and
// through the monitor thread's uevent handling against a fixed set of monitors.
//
// Model: the header is the string up to the first zero byte (no uevent without it); after it come
// the zero-terminated strings up to the first empty one (a last one may lack its zero byte). Those
// holding "=" are the variables, plus ACTION and DEVPATH from an "action@devpath" header unless
// present; the last one holding TARND_EVENT gives the value after its first "=", cut to 127
// bytes. The thread logs that value, then, in monitor and event order, each event of an enabled
// monitor once: with a hint equal to the value, or else when the variables carry every match
// (equal, or beginning with what comes before a final "*").
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "events/MonitorThread.h"
#include "events/UeventParser.h"
#include "fuzz/FuzzSandbox.h"

using android::String8;
using Strings = std::vector<std::string>;

namespace {

tarnd_fuzz::IdleService* gIdle;  // held to the end, so that LeakSanitizer sees it kept
android::sp<android::MonitorThread>* gThread;

// Whether a string equals text, or with prefix, begins with it.
bool has(const Strings& strings, const std::string& text, bool prefix = true) {
    return std::any_of(strings.begin(), strings.end(), [&](const std::string& s) {
        return prefix ? s.compare(0, text.size(), text) == 0 : s == text;
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gIdle = new tarnd_fuzz::IdleService();
    gIdle->refuseDumps();
    // Monitor, whether it is enabled, an event's name, hints and matches: repeated names, a
    // disabled monitor, hints at and beyond the cut and with blanks, "=" and bytes outside ASCII.
    const std::tuple<size_t, bool, const char*, Strings, Strings> events[] = {
            {0, true, "gpu_hang", {"gpu_hang", "hang"}, {}},
            {0, true, "any_hang", {"hang", "gpu_hang"}, {}},
            {1, false, "display", {"display", "gpu_hang"}, {"ACTION=*"}},
            {2, true, "gpu_hang", {"other_gpu"}, {"SUBSYSTEM=drm", "ACTION=ch*"}},
            {2, true, "display", {"display"}, {"DEVPATH=/devices/*"}},
            {2, true, "long", {std::string(127, 'L'), std::string(128, 'M')}, {}},
            {2, true, "odd", {" ", "a b", "x=y", "\xff\x01", "TARND_EVENT"}, {"A=", "B=*"}}};
    android::TarnDebugService* service = gIdle->service.get();
    for (const auto& [monitor, enabled, name, hints, matches] : events) {
        if (service->mMonitors.size() == monitor)
            service->mMonitors.add(android::TarnDebugService::Monitor(service, String8("m")));
        service->mMonitors.editItemAt(monitor).mEnabled = enabled;
        android::TarnDebugService::Event event(service, String8(name));
        for (const std::string& h : hints) event.mUeventHints.add(String8(h.c_str()));
        for (const std::string& m : matches) event.mMatches.add(String8(m.c_str()));
        service->mMonitors.editItemAt(monitor).mEvents.add(event);
    }
    gThread = new android::sp<android::MonitorThread>(new android::MonitorThread(service));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    android::MonitorThread* thread = gThread->get();
    // A receive takes at most one byte less than the buffer; the rest of a datagram is cut off.
    const size_t count = std::min(size, sizeof(thread->mMsgBuf) - 1);
    const std::string msg(reinterpret_cast<const char*>(data), count);

    const size_t headerEnd = msg.find('\0');
    const std::string header = msg.substr(0, headerEnd == std::string::npos ? 0 : headerEnd);
    std::string value;
    Strings variables, environment;
    for (size_t start = headerEnd, end; start < count && msg[start + 1] != '\0'; start = end) {
        end = std::min(msg.find('\0', start + 1), count);
        const std::string text = msg.substr(start + 1, end - start - 1);
        if (text.find('=') == std::string::npos) continue;
        if (text.find("TARND_EVENT") != std::string::npos)
            value = text.substr(text.find('=') + 1, 127);
        variables.push_back(text);
    }
    const size_t at = header.find('@');
    if (at != std::string::npos) {
        if (!has(variables, "ACTION=")) variables.push_back("ACTION=" + header.substr(0, at));
        if (!has(variables, "DEVPATH=")) variables.push_back("DEVPATH=" + header.substr(at + 1));
    }
    for (auto v = variables.rbegin(); v != variables.rend(); ++v) {  // the last of a key wins
        const std::string name = "TARND_UEVENT_" + v->substr(0, v->find('=') + 1);
        if (name.size() > 14 && !has(environment, name) &&
            name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_", 13) == name.size() - 1)
            environment.insert(environment.begin(), "TARND_UEVENT_" + *v);
    }

    // Exactly the received bytes on the heap, so that a read past them is caught.
    const std::unique_ptr<char[]> bytes(new char[std::max<size_t>(count, 1)]);
    memcpy(bytes.get(), msg.data(), count);
    android::Uevent uevent;
    const bool complete = android::parseUevent(bytes.get(), count, &uevent);
    auto fail = [&](const std::string& what) {
        fprintf(stderr, "uevent_fuzzer: %s\ndatagram: \"%s\"\n", what.c_str(),
                tarnd_fuzz::printable(msg).c_str());
        abort();
    };
    if (android::parseUeventValue(bytes.get(), count) != value ||
        complete != (headerEnd != std::string::npos) || uevent.header != header ||
        uevent.variables != variables || android::ueventEnvironment(uevent) != environment)
        fail("value, header, variables or environment differ from the model");

    tarnd_host::LogCapture capture;
    memcpy(thread->mMsgBuf, msg.data(), count);
    thread->mMsgSize = static_cast<int32_t>(count);
    // Past the received bytes and their terminator nothing may be read.
    ASAN_POISON_MEMORY_REGION(thread->mMsgBuf + count + 1, sizeof(thread->mMsgBuf) - count - 1);
    thread->handleMessage(false);
    ASAN_UNPOISON_MEMORY_REGION(thread->mMsgBuf + count + 1, sizeof(thread->mMsgBuf) - count - 1);

    std::string want = value.empty() ? "" : "Receive uevent: " + value + "\n", got;
    Strings dumped;
    for (const android::TarnDebugService::Monitor& monitor : thread->mService->mMonitors) {
        for (const android::TarnDebugService::Event& e : monitor.mEvents) {
            bool hinted = false, matched = !e.mMatches.isEmpty();
            for (const String8& hint : e.mUeventHints)
                hinted |= !value.empty() && hint == value.c_str();
            for (const String8& m : e.mMatches) {
                const bool prefix = m.length() > 0 && m.string()[m.length() - 1] == '*';
                matched &= has(variables, std::string(m.string(), m.length() - prefix), prefix);
            }
            if (android::ueventMatches(uevent, e.mMatches) != matched) fail("matches differ");
            if (!monitor.mEnabled || (!hinted && !matched) || has(dumped, e.mName.string(), false))
                continue;
            dumped.push_back(e.mName.string());
            want += (hinted ? "Receive uevent, dump log for event: "
                            : "Uevent " + header + " matches event ") +
                    dumped.back() + "\n";
        }
    }
    for (const std::string& message : capture.messages()) {
        if (message.compare(0, 14, "Receive uevent") == 0 || message.compare(0, 7, "Uevent ") == 0)
            got += message + "\n";
    }
    if (got != want) fail("monitor thread log:\n" + got + "model:\n" + want);
    return 0;
}
