// The internal channel's byte stream cut into consecutive receives, at the ChannelReader and
// through the monitor thread's message handling.
//
// Input: byte 0 picks the name length limit (high bit set: the reader's default, else the low seven
// bits); byte 1 gives how many cuts follow (modulo 16), each one byte, the length of one receive;
// the rest is the stream. A last receive takes whatever is left (possibly nothing).
//
// Checked: no name is empty, holds a newline or exceeds the limit; first/curSize/msgSize follow
// from the names before it in its receive; the whole stream fed at once gives the same names, drops
// and carry; the monitor thread logs one drop per overlong name and tries to dump every name.
#include <sanitizer/asan_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "events/ChannelReader.h"
#include "events/MonitorThread.h"
#include "fuzz/FuzzSandbox.h"

using android::ChannelReader;

namespace {

struct Receive {
    size_t begin;  // offset of its first byte in the stream
    size_t size;
};

std::string* gInput;  // the input in words, for a failure report

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "channel_fuzzer: %s\n%s\n", what.c_str(), gInput->c_str());
    abort();
}

// Fed in the given receives, each an exact-size heap copy so that a read past it is caught; the
// names, drops and carry must be those of the whole stream fed at once.
void checkReader(const std::string& stream, const std::vector<Receive>& receives, size_t limit) {
    ChannelReader reader(limit);
    std::vector<std::string> all;
    size_t dropped = 0;
    for (const Receive& r : receives) {
        std::vector<ChannelReader::Name> names;
        std::unique_ptr<char[]> bytes(new char[std::max<size_t>(r.size, 1)]);
        memcpy(bytes.get(), stream.data() + r.begin, r.size);
        dropped += reader.feed(bytes.get(), r.size, &names);
        int32_t cursor = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            const ChannelReader::Name& n = names[i];
            if (n.name.empty() || n.name.find('\n') != std::string::npos || n.name.size() > limit ||
                n.first != (i == 0) || n.curSize != cursor ||
                n.msgSize != static_cast<int32_t>(r.size)) {
                fail("bad name or position: \"" + tarnd_fuzz::printable(n.name) + "\"");
            }
            cursor += static_cast<int32_t>(n.name.size()) + 1;
            all.push_back(n.name);
        }
    }

    ChannelReader whole(limit);
    std::vector<ChannelReader::Name> names;
    bool same = whole.feed(stream.data(), stream.size(), &names) == dropped &&
                names.size() == all.size() && whole.pendingSize() == reader.pendingSize();
    for (size_t i = 0; same && i < names.size(); ++i) same = names[i].name == all[i];
    if (!same) fail("the stream read at once differs");
}

tarnd_fuzz::IdleService* gIdle;

// The same receives through the monitor thread, whose dump procedure refuses (and logs so) every
// name it is handed.
void checkMonitorThread(const std::string& stream, const std::vector<Receive>& receives) {
    ChannelReader reader;
    std::vector<ChannelReader::Name> names;
    const size_t dropped = reader.feed(stream.data(), stream.size(), &names);

    // A fresh thread object for each input: its reader carries a cut name from one receive on.
    android::sp<android::MonitorThread> thread = new android::MonitorThread(gIdle->service.get());
    tarnd_host::LogCapture capture;
    const size_t room = sizeof(thread->mMsgBuf) - 1;
    for (const Receive& r : receives) {
        if (r.size > room) return;  // a receive is never larger; the input is too long for this
        memcpy(thread->mMsgBuf, stream.data() + r.begin, r.size);
        thread->mMsgSize = static_cast<int32_t>(r.size);
        // Past the received bytes and their terminator nothing may be read.
        char* tail = thread->mMsgBuf + r.size + 1;
        ASAN_POISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - r.size - 1);
        thread->handleMessage(true);
        ASAN_UNPOISON_MEMORY_REGION(tail, sizeof(thread->mMsgBuf) - r.size - 1);
    }

    const std::string dropLine = "Drop internal event name longer than " +
                                 std::to_string(ChannelReader::kMaxNameLength) + " bytes";
    size_t refusals = 0, drops = 0;
    for (const std::string& message : capture.messages()) {
        refusals += message.compare(0, 15, "No enough space") == 0;
        drops += message == dropLine;
    }
    if (refusals != names.size() || drops != dropped) {
        fail("monitor thread: " + std::to_string(refusals) + " dumps, " + std::to_string(drops) +
             " drops; the reader: " + std::to_string(names.size()) + " names, " +
             std::to_string(dropped) + " drops");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gIdle = new tarnd_fuzz::IdleService();
    gIdle->refuseDumps();
    gInput = new std::string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = (data[0] & 0x80) != 0 ? ChannelReader::kMaxNameLength : data[0] & 0x7f;
    const size_t cuts = std::min<size_t>(data[1] % 16, size - 2);
    const std::string stream(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);

    std::vector<Receive> receives;
    size_t offset = 0;
    for (size_t i = 0; i < cuts; ++i) {
        size_t length = std::min<size_t>(data[2 + i], stream.size() - offset);
        receives.push_back(Receive{offset, length});
        offset += length;
    }
    receives.push_back(Receive{offset, stream.size() - offset});
    *gInput = "limit " + std::to_string(limit) + ", receives:";
    for (const Receive& r : receives) *gInput += " " + std::to_string(r.size);
    *gInput += "\nstream: \"" + tarnd_fuzz::printable(stream) + "\"";

    checkReader(stream, receives, limit);
    checkMonitorThread(stream, receives);
    return 0;
}
