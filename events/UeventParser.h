#pragma once

#include <stddef.h>

#include <string>

namespace android {

// Longest TARND_EVENT value that is compared with the uevent hints; longer values are cut.
constexpr size_t kUeventValueMax = 127;

/// Extracts the TARND_EVENT value from one uevent datagram of count bytes: the header string is
/// skipped, then every string holding TARND_EVENT and "=" gives the text after its first "=" (a
/// later one replaces an earlier one), up to the first empty string. Nothing past count is read,
/// and a last string without its zero byte ends at count. Empty when no string matched.
std::string parseUeventValue(const char* msg, size_t count);

}  // namespace android
