#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <utils/String16.h>
#include <utils/String8.h>

namespace android {

namespace {

// UTF-8 to UTF-16 as leniently as the platform: the lead byte alone gives a sequence's length,
// continuation bytes are not checked, a stray one stands for itself. A sequence cut short by the
// end, or a lead byte of five bytes or more, makes the whole result empty.
std::u16string fromUtf8(const char* s, size_t len) {
    std::u16string out;
    size_t i = 0;
    while (i < len) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = c < 0xC0 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF8 ? 3 : 4;
        if (extra == 4 || i + extra >= len + (extra == 0 ? 1 : 0)) return std::u16string();
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + ((cp >> 10) & 0x3FF)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

template <typename T>
const T* nonNull(const T* s) {
    // The platform dereferences a null string; end the same way, but with a clear message.
    if (s == nullptr) {
        fprintf(stderr, "String16: null string\n");
        abort();
    }
    return s;
}

}  // namespace

String16::String16() {}
String16::String16(const String16& o) : mString(o.mString) {}
String16::String16(const char16_t* o) : mString(nonNull(o)) {}
String16::String16(const char16_t* o, size_t len) : mString(nonNull(o), len) {}
String16::String16(const char* o) : mString(fromUtf8(nonNull(o), strlen(nonNull(o)))) {}
String16::String16(const String8& o) : mString(fromUtf8(o.string(), o.length())) {}
String16::~String16() {}

bool String16::operator==(const String16& other) const {
    return strzcmp16(string(), size(), other.string(), other.size()) == 0;
}

String16& String16::operator=(const String16& other) {
    mString = other.mString;
    return *this;
}

}  // namespace android
