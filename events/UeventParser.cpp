#include "events/UeventParser.h"

#include <string.h>

#include <string_view>

namespace android::tarnd {

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

namespace {

bool hasVariable(const std::vector<std::string>& variables, const std::string& key) {
    for (const std::string& variable : variables) {
        if (variable.size() > key.size() && variable.compare(0, key.size(), key) == 0 &&
            variable[key.size()] == '=') {
            return true;
        }
    }
    return false;
}

bool isEnvironmentKey(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

}  // namespace

bool parseUevent(const char* msg, size_t count, Uevent* out) {
    out->header.clear();
    out->variables.clear();
    if (msg == nullptr) return false;
    const char* end = msg + count;
    const char* header = static_cast<const char*>(memchr(msg, '\0', count));
    if (header == nullptr) return false;
    out->header.assign(msg, header - msg);
    const char* cursor = header + 1;
    while (cursor < end && *cursor != '\0') {
        const char* nul = static_cast<const char*>(memchr(cursor, '\0', end - cursor));
        const char* stringEnd = nul != nullptr ? nul : end;
        // A string without "=" is no variable.
        if (memchr(cursor, '=', stringEnd - cursor) != nullptr) {
            out->variables.emplace_back(cursor, stringEnd - cursor);
        }
        if (nul == nullptr) break;
        cursor = nul + 1;
    }
    // The kernel sends both as variables too; a uevent made by hand may carry only the header.
    size_t at = out->header.find('@');
    if (at != std::string::npos) {
        if (!hasVariable(out->variables, "ACTION")) {
            out->variables.push_back("ACTION=" + out->header.substr(0, at));
        }
        if (!hasVariable(out->variables, "DEVPATH")) {
            out->variables.push_back("DEVPATH=" + out->header.substr(at + 1));
        }
    }
    return true;
}

bool ueventMatches(const Uevent& uevent, const Vector<String8>& matches) {
    if (matches.isEmpty()) return false;
    for (size_t i = 0; i < matches.size(); ++i) {
        // Every match holds "=" after a non-empty key: "KEY=*" never matches a longer key.
        std::string_view match(matches[i].string(), matches[i].length());
        bool prefix = !match.empty() && match.back() == '*';
        if (prefix) match.remove_suffix(1);
        bool found = false;
        for (const std::string& variable : uevent.variables) {
            std::string_view text(variable);
            found = prefix ? text.substr(0, match.size()) == match : text == match;
            if (found) break;
        }
        if (!found) return false;
    }
    return true;
}

std::vector<std::string> ueventEnvironment(const Uevent& uevent) {
    std::vector<std::string> environment;
    for (const std::string& variable : uevent.variables) {
        size_t equals = variable.find('=');
        std::string_view key(variable.data(), equals);
        if (!isEnvironmentKey(key)) continue;
        std::string entry = "TARND_UEVENT_" + variable;
        std::string name = entry.substr(0, entry.find('=') + 1);
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            if (it->compare(0, name.size(), name) == 0) {
                environment.erase(it);
                break;
            }
        }
        environment.push_back(std::move(entry));
    }
    return environment;
}

}  // namespace android::tarnd
