// Host stand-in for libutils' 8-bit string.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <utils/Errors.h>

#include <string>

namespace android {

class String16;

class String8 {
  public:
    String8();
    String8(const String8& o);
    explicit String8(const char* o);
    explicit String8(const char* o, size_t numChars);
    explicit String8(const String16& o);
    ~String8();

    static String8 format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    const char* string() const { return mString.c_str(); }
    size_t size() const { return mString.size(); }
    size_t length() const { return mString.size(); }
    bool isEmpty() const { return mString.empty(); }

    void clear() { mString.clear(); }
    void setTo(const String8& other) { mString = other.mString; }
    status_t setTo(const char* other);
    status_t setTo(const char* other, size_t numChars);

    status_t append(const String8& other);
    status_t append(const char* other);
    status_t append(const char* other, size_t numChars);
    status_t appendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    status_t appendFormatV(const char* fmt, va_list args);

    String8& operator=(const String8& other);
    String8& operator=(const char* other);
    String8& operator+=(const String8& other);
    String8& operator+=(const char* other);

    int compare(const String8& other) const;
    bool operator<(const String8& other) const { return compare(other) < 0; }
    bool operator==(const String8& other) const { return compare(other) == 0; }
    bool operator!=(const String8& other) const { return compare(other) != 0; }
    bool operator==(const char* other) const;
    bool operator!=(const char* other) const { return !(*this == other); }

    operator const char*() const { return mString.c_str(); }

  private:
    // Setters that take a length keep embedded NULs, as the platform's do; comparisons stop at
    // the first one.
    std::string mString;
};

}  // namespace android
