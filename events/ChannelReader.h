#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace android::tarnd {

/// Splits the internal channel's byte stream into event names. The stream has no record
/// boundaries, so a name that one receive cut off is kept and completed by the next receive; a
/// name is complete when its newline arrives.
class ChannelReader {
  public:
    // Longest name kept; event names come from configuration lines, which are far shorter.
    static constexpr size_t kMaxNameLength = 1024;

    /// One complete name, with the values of its "Receive internal event" line.
    struct Name {
        std::string name;
        bool first;       // first name completed by its receive: passed on without a log line
        int32_t curSize;  // sum of length + 1 over the names before it in the same receive
        int32_t msgSize;  // byte count of that receive
    };

    explicit ChannelReader(size_t maxNameLength = kMaxNameLength);

    // Takes the bytes of one receive and appends the names they complete to names, in order,
    // skipping empty pieces. Returns how many names were dropped for being longer than the
    // limit; each such name counts once, however many receives it spans.
    size_t feed(const char* bytes, size_t count, std::vector<Name>* names);

    // Bytes of the unfinished name carried to the next receive.
    size_t pendingSize() const { return mPending.size(); }

  private:
    size_t mMaxNameLength;
    std::string mPending;  // start of a name whose newline has not arrived yet
    bool mDiscarding;      // inside an overlong name: its bytes are dropped up to its newline
};

// Writes one name and its newline into the channel's writing end in one send, so that names of
// different writers never run together. A short or failed write is not retried, and no SIGPIPE
// is raised once shut-down has closed the reading side: the send just fails.
void sendChannelName(int channel, const std::string& name);

}  // namespace android::tarnd
