#pragma once

#include <stddef.h>
#include <utils/String8.h>
#include <utils/Vector.h>

#include <string>
#include <vector>

#include "events/UeventLimits.h"

namespace android::tarnd {

/// Extracts the TARND_EVENT value from one uevent datagram of count bytes: the header string is
/// skipped, then every string holding TARND_EVENT and "=" gives the text after its first "=" (a
/// later one replaces an earlier one), up to the first empty string. Nothing past count is read,
/// and a last string without its zero byte ends at count. Empty when no string matched.
std::string parseUeventValue(const char* msg, size_t count);

/// The strings of one uevent datagram: its header (action@devpath) and its KEY=VALUE variables,
/// read the way parseUeventValue reads them. ACTION and DEVPATH are taken from the header when
/// the datagram does not carry them itself.
struct Uevent {
    std::string header;
    std::vector<std::string> variables;
};

// False when the datagram has no complete header.
bool parseUevent(const char* msg, size_t count, Uevent* out);

// Whether the uevent carries every KEY=VALUE of matches: the key must be equal, and so must the
// value, unless it ends with "*", which matches the values that begin with what comes before it.
bool ueventMatches(const Uevent& uevent, const Vector<String8>& matches);

// TARND_UEVENT_<KEY>=<VALUE> for each variable whose key is made of A-Z, 0-9 and "_" only; of
// two variables with one key, the later one.
std::vector<std::string> ueventEnvironment(const Uevent& uevent);

}  // namespace android::tarnd
