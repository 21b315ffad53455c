#include <stdio.h>
#include <string.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <vector>

namespace android {

namespace {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(const char16_t* s, size_t len) {
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string untilNul(const char* s, size_t n) { return std::string(s, strnlen(s, n)); }

}  // namespace

String8::String8() {}
String8::String8(const String8& o) : mString(o.mString) {}
String8::String8(const char* o) : mString(o ? o : "") {}
String8::String8(const char* o, size_t numChars) : mString(o ? untilNul(o, numChars) : "") {}
// Stops at the first NUL, like every other setter.
String8::String8(const String16& o) : mString(toUtf8(o.string(), o.size()).c_str()) {}
String8::~String8() {}

String8 String8::format(const char* fmt, ...) {
    String8 result;
    va_list args;
    va_start(args, fmt);
    result.appendFormatV(fmt, args);
    va_end(args);
    return result;
}

status_t String8::setTo(const char* other) {
    mString = other ? other : "";
    return NO_ERROR;
}

status_t String8::setTo(const char* other, size_t numChars) {
    mString = other ? untilNul(other, numChars) : "";
    return NO_ERROR;
}

status_t String8::append(const String8& other) {
    mString += other.mString;
    return NO_ERROR;
}

status_t String8::append(const char* other) {
    if (other) mString += other;
    return NO_ERROR;
}

status_t String8::append(const char* other, size_t numChars) {
    if (other) mString += untilNul(other, numChars);
    return NO_ERROR;
}

status_t String8::appendFormat(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    status_t result = appendFormatV(fmt, args);
    va_end(args);
    return result;
}

status_t String8::appendFormatV(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) return NO_MEMORY;
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    vsnprintf(buf.data(), buf.size(), fmt, args);
    mString.append(buf.data(), strlen(buf.data()));
    return NO_ERROR;
}

String8& String8::operator=(const String8& other) {
    mString = other.mString;
    return *this;
}

String8& String8::operator=(const char* other) {
    setTo(other);
    return *this;
}

String8& String8::operator+=(const String8& other) {
    append(other);
    return *this;
}

String8& String8::operator+=(const char* other) {
    append(other);
    return *this;
}

int String8::compare(const String8& other) const { return strcmp(string(), other.string()); }

bool String8::operator==(const char* other) const {
    return strcmp(string(), other ? other : "") == 0;
}

}  // namespace android
