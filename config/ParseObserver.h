// What the configuration parser decides, line by line, for a tool that wants to know more than
// the records tell: the checker finds a file's quiet traps through it. The daemon sets none.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace android::tarnd {

/// Receives the parser's decisions while a file is parsed; every call comes from parseConfig.
class ParseObserver {
  public:
    virtual ~ParseObserver() {}

    // Each line as getline gave it, before any rule applies; length counts every byte read,
    // NULs and the newline included. tooLong: the parser skips it for its length.
    virtual void onLine(const char* line, size_t length, bool tooLong) = 0;
    // A section or key token that was taken as word because it begins with it.
    virtual void onWord(const char* token, const char* word) = 0;
    // A section token the parser knows no word for; the line is skipped.
    virtual void onUnknownSection(const char* token) = 0;
    // The name of the record that the line sets, as the parser found or added it.
    virtual void onRecord(const char* name) = 0;
    // A number or switch value and the number the parser made of it.
    virtual void onNumber(const char* value, int32_t number) = 0;
};

}  // namespace android::tarnd
