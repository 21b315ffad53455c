#include "events/ChannelReader.h"

#include <string.h>
#include <sys/socket.h>

namespace android::tarnd {

void sendChannelName(int channel, const std::string& name) {
    std::string message;
    message.reserve(name.size() + 1);
    message.append(name).push_back('\n');
    ssize_t written = send(channel, message.data(), message.size(), MSG_NOSIGNAL);
    (void)written;
}

ChannelReader::ChannelReader(size_t maxNameLength)
    : mMaxNameLength(maxNameLength), mDiscarding(false) {}

size_t ChannelReader::feed(const char* bytes, size_t count, std::vector<Name>* names) {
    size_t dropped = 0;
    int32_t cursor = 0;
    bool first = true;
    const char* end = bytes + count;
    const char* piece = bytes;
    while (piece < end) {
        const char* newline = static_cast<const char*>(memchr(piece, '\n', end - piece));
        size_t length = (newline != nullptr ? newline : end) - piece;
        if (mDiscarding) {
            if (newline != nullptr) mDiscarding = false;
        } else if (mPending.size() + length > mMaxNameLength) {
            // Never grow the carry without bound: the whole name goes, up to its newline.
            mPending.clear();
            ++dropped;
            mDiscarding = newline == nullptr;
        } else if (newline == nullptr) {
            mPending.append(piece, length);
        } else if (mPending.size() + length > 0) {
            Name name;
            name.name = std::move(mPending);
            name.name.append(piece, length);
            mPending.clear();
            name.first = first;
            name.curSize = cursor;
            name.msgSize = static_cast<int32_t>(count);
            cursor += static_cast<int32_t>(name.name.size()) + 1;
            first = false;
            names->push_back(std::move(name));
        }
        if (newline == nullptr) break;
        piece = newline + 1;
    }
    return dropped;
}

}  // namespace android::tarnd
