#pragma once

#include <utils/String8.h>

namespace android {

// The text as one shell word: wrapped in single quotes, each single quote written as '\''.
// Paths and names pass through system() whole, whatever blanks or shell characters they hold.
String8 shellQuote(const char* text);

}  // namespace android
