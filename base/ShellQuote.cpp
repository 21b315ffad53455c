#include "base/ShellQuote.h"

namespace android::tarnd {

String8 shellQuote(const char* text) {
    String8 quoted("'");
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\'') {
            quoted.append("'\\''");
        } else {
            quoted.append(p, 1);
        }
    }
    quoted.append("'");
    return quoted;
}

String8 mkdirCommand(const char* path) {
    return String8::format("mkdir -p -- %s", shellQuote(path).string());
}

}  // namespace android::tarnd
