#pragma once

#include <dirent.h>
#include <string.h>

#include <memory>

namespace android::tarnd {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

/// Owns one directory stream (and the descriptor under it) and closes it on every way out.
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The two entries every directory lists that name no file of its own.
inline bool isDotOrDotDot(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

}  // namespace android::tarnd
