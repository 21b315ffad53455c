// Host stand-in for libutils' UTF-16 helpers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Compares two UTF-16 strings of given lengths, like strcmp; see Unicode.cpp for the tail.
int strzcmp16(const char16_t* s1, size_t n1, const char16_t* s2, size_t n2);
