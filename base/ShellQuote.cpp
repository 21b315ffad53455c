#include "base/ShellQuote.h"

namespace android {

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

}  // namespace android
