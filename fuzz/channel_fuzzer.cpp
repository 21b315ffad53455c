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
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "events/ChannelReader.h"
#include "events/MonitorThread.h"
#include "fuzz/FuzzSandbox.h"

using android::tarnd::ChannelReader;

static tarnd_fuzz::IdleService* gIdle;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gIdle = new tarnd_fuzz::IdleService();
    gIdle->refuseDumps();  // the monitor thread logs a refusal for every name it is handed
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = (data[0] & 0x80) != 0 ? ChannelReader::kMaxNameLength : data[0] & 0x7f;
    const size_t cuts = std::min<size_t>(data[1] % 16, size - 2);
    const std::string stream(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);
    std::vector<std::string> receives;
    for (size_t i = 0, offset = 0; i <= cuts; offset += receives.back().size(), ++i)
        receives.push_back(stream.substr(offset, i < cuts ? data[2 + i] : std::string::npos));
    bool ok = true;

    // The names, one a line, of the parts (the monitor thread below catches reads past them).
    auto read = [&](const std::vector<std::string>& parts, ChannelReader& reader, size_t* dropped) {
        std::string lines;
        for (const std::string& r : parts) {
            std::vector<ChannelReader::Name> names;
            *dropped += reader.feed(r.data(), r.size(), &names);
            for (size_t i = 0, cursor = 0; i < names.size(); cursor += names[i++].name.size() + 1) {
                const ChannelReader::Name& n = names[i];
                ok &= !n.name.empty() && n.name.find('\n') == std::string::npos &&
                      n.name.size() <= limit && n.first == (i == 0) &&
                      n.curSize == int32_t(cursor) && n.msgSize == int32_t(r.size());
                lines += n.name + "\n";
            }
        }
        return lines;
    };
    ChannelReader reader(limit), whole(limit);
    size_t dropped = 0, wholeDropped = 0;
    const std::string lines = read(receives, reader, &dropped);
    ok &= read({stream}, whole, &wholeDropped) == lines && wholeDropped == dropped &&
          whole.pendingSize() == reader.pendingSize();

    // The same receives through a fresh monitor thread with that limit.
    android::sp<android::tarnd::MonitorThread> thread =
            new android::tarnd::MonitorThread(gIdle->service.get());
    thread->mChannel = ChannelReader(limit);
    tarnd_host::LogCapture capture;
    for (const std::string& r : receives) {
        if (r.size() > sizeof(thread->mMsgBuf) - 1) return 0;  // a receive is never larger
        memcpy(thread->mMsgBuf, r.data(), r.size());
        thread->mMsgSize = static_cast<int32_t>(r.size());
        // Past the received bytes and their terminator nothing may be read.
        const size_t rest = sizeof(thread->mMsgBuf) - 1 - r.size();
        ASAN_POISON_MEMORY_REGION(thread->mMsgBuf + r.size() + 1, rest);
        thread->handleMessage(true);
        ASAN_UNPOISON_MEMORY_REGION(thread->mMsgBuf + r.size() + 1, rest);
    }
    size_t refusals = 0, drops = 0;
    for (const std::string& message : capture.messages()) {
        refusals += message.compare(0, 15, "No enough space") == 0;
        drops += message == "Drop internal event name longer than 1024 bytes";
    }
    if (ok && refusals == size_t(std::count(lines.begin(), lines.end(), '\n')) && drops == dropped)
        return 0;
    fprintf(stderr, "channel_fuzzer: limit %zu, %zu receives; names:\n%s", limit, receives.size(),
            tarnd_fuzz::printable(lines).c_str());
    abort();
}
