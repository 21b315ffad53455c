// Host stand-in for libutils' UTF-16 string.
#pragma once

#include <stddef.h>
#include <utils/Unicode.h>

#include <string>

namespace android {

class String8;

class String16 {
  public:
    String16();
    String16(const String16& o);
    explicit String16(const char16_t* o);
    explicit String16(const char16_t* o, size_t len);
    explicit String16(const char* o);
    explicit String16(const String8& o);
    ~String16();

    const char16_t* string() const { return mString.c_str(); }
    size_t size() const { return mString.size(); }

    String16& operator=(const String16& other);
    // By strzcmp16, as on the platform: a trailing NUL unit does not tell two strings apart.
    bool operator==(const String16& other) const;
    bool operator!=(const String16& other) const { return !(*this == other); }

  private:
    std::u16string mString;
};

}  // namespace android
