// One uevent datagram (the input, as the socket would deliver it) through the uevent parsers,
// each reading an exact-size heap copy so that a read past the datagram is caught.
//
// Model: the header is the string up to the first zero byte (no uevent without it); after it come
// the zero-terminated strings up to the first empty one (a last one may lack its zero byte). Those
// holding "=" are the variables, plus ACTION and DEVPATH from an "action@devpath" header unless
// present; the last one holding TARND_EVENT gives the value after its first "=", cut to 127
// bytes. The environment holds TARND_UEVENT_ and each variable whose key is made of A-Z, 0-9 and
// "_" only, the last of a key. A list of matches holds when it is not empty and the variables
// carry every match (equal, or beginning with what comes before a final "*").
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "events/UeventParser.h"
#include "fuzz/FuzzSandbox.h"

using Strings = std::vector<std::string>;

// Whether a string equals text, or with prefix, begins with it.
static bool has(const Strings& strings, const std::string& text, bool prefix = true) {
    return std::any_of(strings.begin(), strings.end(), [&](const std::string& s) {
        return prefix ? s.compare(0, text.size(), text) == 0 : s == text;
    });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string msg(reinterpret_cast<const char*>(data), size);
    const size_t end = std::min(msg.find('\0'), size);
    const std::string header = end < size ? msg.substr(0, end) : "";
    std::string value;
    Strings variables, environment;
    for (size_t start = end, stop; start < size && msg[start + 1] != '\0'; start = stop) {
        stop = std::min(msg.find('\0', start + 1), size);
        const std::string text = msg.substr(start + 1, stop - start - 1);
        if (text.find('=') == std::string::npos) continue;
        if (text.find("TARND_EVENT") != std::string::npos)
            value = text.substr(text.find('=') + 1, 127);
        variables.push_back(text);
    }
    const size_t at = header.find('@');
    if (at != std::string::npos) {
        if (!has(variables, "ACTION=")) variables.push_back("ACTION=" + header.substr(0, at));
        if (!has(variables, "DEVPATH=")) variables.push_back("DEVPATH=" + header.substr(at + 1));
    }
    for (auto v = variables.rbegin(); v != variables.rend(); ++v) {  // the last of a key wins
        const std::string key = v->substr(0, v->find('=') + 1);
        if (key.size() > 1 && !has(environment, "TARND_UEVENT_" + key) &&
            key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == key.size() - 1)
            environment.insert(environment.begin(), "TARND_UEVENT_" + *v);
    }

    const std::unique_ptr<char[]> bytes(new char[std::max<size_t>(size, 1)]);
    memcpy(bytes.get(), msg.data(), size);
    android::tarnd::Uevent uevent;
    const bool complete = android::tarnd::parseUevent(bytes.get(), size, &uevent);
    bool ok = android::tarnd::parseUeventValue(bytes.get(), size) == value &&
              complete == (end < size) && uevent.header == header &&
              uevent.variables == variables &&
              android::tarnd::ueventEnvironment(uevent) == environment;
    // Lists of matches: empty, prefixes (of nothing, too), exact values, empty values.
    const Strings lists[] = {
            {}, {"ACTION=*"}, {"SUBSYSTEM=drm", "ACTION=ch*"}, {"DEVPATH=/devices/*", "A=", "B=*"}};
    for (const Strings& list : lists) {
        android::Vector<android::String8> matches;
        bool matched = !list.empty();
        for (const std::string& m : list) {
            matches.add(android::String8(m.c_str()));
            const bool prefix = m.back() == '*';
            matched &= has(variables, m.substr(0, m.size() - prefix), prefix);
        }
        ok &= android::tarnd::ueventMatches(uevent, matches) == matched;
    }
    if (!ok) {
        fprintf(stderr, "uevent_fuzzer: the parsers differ from the model\ndatagram: \"%s\"\n",
                tarnd_fuzz::printable(msg).c_str());
        abort();
    }
    return 0;
}
