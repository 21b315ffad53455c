#include <utils/Unicode.h>

int strzcmp16(const char16_t* s1, size_t n1, const char16_t* s2, size_t n2) {
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<int>(s1[i]) - static_cast<int>(s2[i]);
        if (d != 0) return d;
    }
    // Past the shorter string, the longer one's next unit decides, as on the platform: a NUL
    // there makes the two compare equal.
    if (n1 < n2) return -static_cast<int>(s2[n]);
    if (n1 > n2) return static_cast<int>(s1[n]);
    return 0;
}
