// Where the kernel-log detector got to in this boot. Kept in a small file across restarts, so that
// a daemon that init restarts raises no record twice, while the first start of a boot still reads
// the whole ring buffer and its early errors.
#pragma once

#include <stdint.h>

#include <string>

namespace android::tarnd {

/// The boot and the sequence number of the last record handled in it.
struct KmsgPosition {
    std::string bootId;
    uint64_t seq = 0;
};

// The file's name inside the dump area. It has no dump directory's shape, so the collector never
// removes it.
constexpr const char* kKmsgPositionName = ".kmsg_position";
// Written at most this often while records arrive.
constexpr int64_t kKmsgPositionSaveMs = 1000;

// The file's text "<boot id> <seq>\n", and back; false for anything else.
std::string formatKmsgPosition(const KmsgPosition& position);
bool parseKmsgPosition(const std::string& text, KmsgPosition* out);

// False when the file is missing or unreadable as a position.
bool loadKmsgPosition(const std::string& path, KmsgPosition* out);
// Replaces the file whole (a new file renamed over it), so that a crash leaves the old or the
// new position, never a torn one. False, with errno, on failure.
bool saveKmsgPosition(const std::string& path, const KmsgPosition& position);

// The kernel's id of this boot; empty when it cannot be read.
std::string currentBootId();

}  // namespace android::tarnd
