#pragma once

#include <utils/String8.h>

namespace android::tarnd {

// The text as one shell word: wrapped in single quotes, each single quote written as '\''.
// Paths and names pass through system() whole, whatever blanks or shell characters they hold.
String8 shellQuote(const char* text);

// The shell line that makes the directory at path and its parents, quoted so that a path with
// blanks or shell characters is made whole and runs nothing.
String8 mkdirCommand(const char* path);

}  // namespace android::tarnd
