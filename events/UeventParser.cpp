#include "events/UeventParser.h"

#include <string.h>

#include <string_view>

namespace android {

std::string parseUeventValue(const char* msg, size_t count) {
    std::string value;
    if (msg == nullptr) return value;
    const char* end = msg + count;
    // The header (action@devpath) counts only when its zero byte was received.
    const char* header = static_cast<const char*>(memchr(msg, '\0', count));
    if (header == nullptr) return value;
    const char* cursor = header + 1;
    while (cursor < end && *cursor != '\0') {
        const char* nul = static_cast<const char*>(memchr(cursor, '\0', end - cursor));
        const char* stringEnd = nul != nullptr ? nul : end;
        std::string_view text(cursor, stringEnd - cursor);
        size_t equals = text.find('=');
        if (text.find("TARND_EVENT") != std::string_view::npos &&
            equals != std::string_view::npos) {
            value.assign(text.substr(equals + 1, kUeventValueMax));
        }
        if (nul == nullptr) break;
        cursor = nul + 1;
    }
    return value;
}

}  // namespace android
