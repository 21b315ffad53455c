// The internal channel's byte stream cut into consecutive receives, at the ChannelReader and
// through the monitor thread's message handling.
//
// Input: byte 0 picks the name length limit (high bit set: the reader's default, else the low seven
// bits); byte 1 gives how many cuts follow (modulo 16), each one byte, the length of one receive;
// the rest is the stream. The receives take their lengths from the stream in order, and a last
// receive takes whatever is left (possibly nothing).
//
// Checked against a model of the whole stream: it splits at newlines; every piece that ends with a
// newline is a name unless it is empty (skipped) or longer than the limit (dropped, counted once,
// in the receive that carries its first byte beyond the limit); the unterminated tail is carried,
// or dropped the same way once it outgrows the limit. Each name belongs to the receive that
// carries its newline, and its first/curSize/msgSize follow from the names before it in that
// receive. The same stream fed in one receive must give the same names, drops and carry.
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

#include "events/ChannelReader.h"
#include "events/MonitorThread.h"
#include "fuzz/FuzzSandbox.h"

using android::ChannelReader;

namespace {

struct Receive {
    size_t begin;  // offset of its first byte in the stream
    size_t size;
};

struct Expected {
    std::vector<std::vector<ChannelReader::Name>> names;  // per receive
    std::vector<size_t> dropped;                          // per receive
    size_t pending = 0;
};

// Index of the receive that holds stream offset pos; receives are in order, and empty ones hold
// nothing.
size_t receiveOf(const std::vector<Receive>& receives, size_t pos) {
    for (size_t r = 0; r < receives.size(); ++r) {
        if (pos >= receives[r].begin && pos < receives[r].begin + receives[r].size) return r;
    }
    abort();  // the model asked for an offset outside the stream
}

Expected model(const std::string& stream, const std::vector<Receive>& receives, size_t limit) {
    Expected out;
    out.names.resize(receives.size());
    out.dropped.assign(receives.size(), 0);
    std::vector<int32_t> cursor(receives.size(), 0);
    size_t start = 0;
    for (;;) {
        size_t newline = stream.find('\n', start);
        size_t end = newline == std::string::npos ? stream.size() : newline;
        size_t length = end - start;
        if (length > limit) {
            ++out.dropped[receiveOf(receives, start + limit)];
        } else if (newline == std::string::npos) {
            out.pending = length;
        } else if (length > 0) {
            size_t r = receiveOf(receives, newline);
            ChannelReader::Name name;
            name.name = stream.substr(start, length);
            name.first = out.names[r].empty();
            name.curSize = cursor[r];
            name.msgSize = static_cast<int32_t>(receives[r].size);
            cursor[r] += static_cast<int32_t>(length) + 1;
            out.names[r].push_back(std::move(name));
        }
        if (newline == std::string::npos) return out;
        start = newline + 1;
    }
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

[[noreturn]] void fail(const std::string& what, const std::string& stream,
                       const std::vector<Receive>& receives, size_t limit) {
    fprintf(stderr, "channel_fuzzer: %s\nlimit %zu, receives:", what.c_str(), limit);
    for (const Receive& r : receives) fprintf(stderr, " %zu", r.size);
    fprintf(stderr, "\nstream: \"%s\"\n", printable(stream).c_str());
    abort();
}

bool sameName(const ChannelReader::Name& a, const ChannelReader::Name& b) {
    return a.name == b.name && a.first == b.first && a.curSize == b.curSize &&
           a.msgSize == b.msgSize;
}

// The received bytes exactly, on the heap, so that a read past them is caught.
std::unique_ptr<char[]> heapCopy(const std::string& stream, const Receive& r) {
    std::unique_ptr<char[]> bytes(new char[std::max<size_t>(r.size, 1)]);
    memcpy(bytes.get(), stream.data() + r.begin, r.size);
    return bytes;
}

void checkReader(const std::string& stream, const std::vector<Receive>& receives, size_t limit) {
    const Expected expected = model(stream, receives, limit);
    ChannelReader reader(limit);
    std::vector<std::string> all;
    size_t droppedTotal = 0;
    for (size_t r = 0; r < receives.size(); ++r) {
        std::vector<ChannelReader::Name> names;
        std::unique_ptr<char[]> bytes = heapCopy(stream, receives[r]);
        size_t dropped = reader.feed(bytes.get(), receives[r].size, &names);
        droppedTotal += dropped;
        for (const ChannelReader::Name& name : names) {
            if (name.name.empty()) fail("an empty name", stream, receives, limit);
            if (name.name.find('\n') != std::string::npos) {
                fail("a name holding a newline", stream, receives, limit);
            }
            if (name.name.size() > limit) fail("a name over the limit", stream, receives, limit);
            all.push_back(name.name);
        }
        if (dropped != expected.dropped[r]) {
            fail("drops of receive " + std::to_string(r) + ": " + std::to_string(dropped) +
                         ", model " + std::to_string(expected.dropped[r]),
                 stream, receives, limit);
        }
        bool same = names.size() == expected.names[r].size();
        for (size_t i = 0; same && i < names.size(); ++i) {
            same = sameName(names[i], expected.names[r][i]);
        }
        if (!same) {
            std::string what = "names of receive " + std::to_string(r) + ":";
            for (const ChannelReader::Name& n : names) {
                what += " \"" + printable(n.name) + "\"/" + std::to_string(n.first) + "/" +
                        std::to_string(n.curSize) + "/" + std::to_string(n.msgSize);
            }
            what += ", model:";
            for (const ChannelReader::Name& n : expected.names[r]) {
                what += " \"" + printable(n.name) + "\"/" + std::to_string(n.first) + "/" +
                        std::to_string(n.curSize) + "/" + std::to_string(n.msgSize);
            }
            fail(what, stream, receives, limit);
        }
    }
    if (reader.pendingSize() != expected.pending) {
        fail("carry of " + std::to_string(reader.pendingSize()) + " bytes, model " +
                     std::to_string(expected.pending),
             stream, receives, limit);
    }

    // The cuts must not matter: the whole stream at once gives the same names, drops and carry.
    ChannelReader whole(limit);
    std::vector<ChannelReader::Name> names;
    size_t dropped = whole.feed(stream.data(), stream.size(), &names);
    bool same = names.size() == all.size() && dropped == droppedTotal &&
                whole.pendingSize() == reader.pendingSize();
    for (size_t i = 0; same && i < names.size(); ++i) same = names[i].name == all[i];
    if (!same) fail("the stream read at once differs", stream, receives, limit);
}

const tarnd_fuzz::Sandbox* gSandbox;
tarnd_fuzz::IdleService* gIdle;

// Longest log message: liblog formats into a 1024-byte buffer.
constexpr size_t kLogMessageMax = 1023;

// The same receives through the monitor thread: its log lines, in order, must be those the model
// gives for the reader's default limit, and every name must reach the dump procedure (whose
// refusal shows that it was called).
void checkMonitorThread(const std::string& stream, const std::vector<Receive>& receives) {
    const size_t limit = ChannelReader::kMaxNameLength;
    const Expected expected = model(stream, receives, limit);
    std::vector<std::string> want;
    for (size_t r = 0; r < receives.size(); ++r) {
        for (size_t i = 0; i < expected.dropped[r]; ++i) {
            want.push_back("Drop internal event name longer than " + std::to_string(limit) +
                           " bytes");
        }
        for (const ChannelReader::Name& name : expected.names[r]) {
            // The name goes on as a C string.
            std::string text = name.name.c_str();
            if (!name.first) {
                std::string line = "Receive internal event: " + text +
                                   ", curSize: " + std::to_string(name.curSize) +
                                   ", mMsgSize: " + std::to_string(name.msgSize);
                // The log cuts every message to what its 1024-byte buffer holds.
                want.push_back(line.substr(0, kLogMessageMax));
            }
            want.push_back("No enough space");
        }
    }

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

    std::vector<std::string> got;
    for (const std::string& message : capture.messages()) {
        if (message.compare(0, 5, "free=") == 0) continue;  // measured sizes, not compared
        if (message.compare(0, 15, "No enough space") == 0) {
            got.push_back("No enough space");
        } else {
            got.push_back(message);
        }
    }
    if (got != want) {
        std::string what = "monitor thread log differs; got:";
        for (const std::string& m : got) what += "\n  " + printable(m);
        what += "\nmodel:";
        for (const std::string& m : want) what += "\n  " + printable(m);
        fail(what, stream, receives, limit);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnd_fuzz::quietBalancedLog();
    gSandbox = &tarnd_fuzz::Sandbox::forProcess();
    gIdle = new tarnd_fuzz::IdleService(*gSandbox);
    gIdle->refuseDumps();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = (data[0] & 0x80) != 0 ? ChannelReader::kMaxNameLength : data[0] & 0x7f;
    const size_t cuts = std::min<size_t>(data[1] % 16, size - 2);
    const uint8_t* lengths = data + 2;
    const std::string stream(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);

    std::vector<Receive> receives;
    size_t offset = 0;
    for (size_t i = 0; i < cuts; ++i) {
        size_t length = std::min<size_t>(lengths[i], stream.size() - offset);
        receives.push_back(Receive{offset, length});
        offset += length;
    }
    receives.push_back(Receive{offset, stream.size() - offset});

    checkReader(stream, receives, limit);
    checkMonitorThread(stream, receives);
    return 0;
}
