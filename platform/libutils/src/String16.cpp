#include <string.h>
#include <utils/String16.h>
#include <utils/String8.h>

namespace android {

namespace {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string fromUtf8(const char* s, size_t len) {
    std::u16string out;
    size_t i = 0;
    while (i < len) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= len || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

}  // namespace

String16::String16() {}
String16::String16(const String16& o) : mString(o.mString) {}
String16::String16(const char16_t* o) : mString(o ? o : u"") {}
String16::String16(const char16_t* o, size_t len) : mString(o, len) {}
String16::String16(const char* o) : mString(o ? fromUtf8(o, strlen(o)) : u"") {}
String16::String16(const String8& o) : mString(fromUtf8(o.string(), o.length())) {}
String16::~String16() {}

String16& String16::operator=(const String16& other) {
    mString = other.mString;
    return *this;
}

}  // namespace android
