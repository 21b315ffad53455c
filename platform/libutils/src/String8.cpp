#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <vector>

namespace android {

namespace {

// UTF-16 to UTF-8. Like the platform, an unpaired surrogate is dropped and a NUL is kept.
std::string toUtf8(const char16_t* s, size_t len) {
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
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

// The platform dereferences a null C string; end the same way, but with a clear message.
const char* nonNull(const char* s, const char* where) {
    if (s == nullptr) {
        fprintf(stderr, "String8::%s: null string\n", where);
        abort();
    }
    return s;
}

}  // namespace

String8::String8() {}
String8::String8(const String8& o) : mString(o.mString) {}
String8::String8(const char* o) : mString(nonNull(o, "String8")) {}
String8::String8(const char* o, size_t numChars)
    : mString(numChars == 0 ? "" : nonNull(o, "String8"), numChars) {}
String8::String8(const String16& o) : mString(toUtf8(o.string(), o.size())) {}
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
    mString = nonNull(other, "setTo");
    return NO_ERROR;
}

status_t String8::setTo(const char* other, size_t numChars) {
    if (numChars == 0) {
        mString.clear();
        return NO_ERROR;
    }
    mString.assign(nonNull(other, "setTo"), numChars);
    return NO_ERROR;
}

status_t String8::append(const String8& other) {
    mString += other.mString;
    return NO_ERROR;
}

status_t String8::append(const char* other) {
    mString += nonNull(other, "append");
    return NO_ERROR;
}

status_t String8::append(const char* other, size_t numChars) {
    if (numChars > 0) mString.append(nonNull(other, "append"), numChars);
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
    // A %c of 0 stays in the string, as on the platform.
    mString.append(buf.data(), static_cast<size_t>(n));
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
    return strcmp(string(), nonNull(other, "operator==")) == 0;
}

}  // namespace android
