#pragma once

// What the key word index and its scans must agree on: how grams are read and hashed into the
// bit filters. Private to detectors/KeywordMatcher*.cpp.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace android::tarnd {
namespace keyword_matcher {

constexpr uint32_t kFilterMultiplier = 0x9E3779B1u;
constexpr uint32_t kSlotMultiplier = 0x85EBCA6Bu;

// The scans collect the positions that pass their first test into a buffer of this many before
// testing any further: a hit is rare but unpredictable, and a mispredicted branch per position
// costs more than the test itself.
constexpr size_t kChunk = 256;

// A sieve hit for a key word of 8 bytes or more is first checked against the 8 bytes around its
// anchor, from 2 bytes before it: a bit test, cheaper than finding the key word's ends.
constexpr size_t kWindow = 8;
constexpr size_t kWindowLead = 2;

// Rough share of a byte in kernel and logcat text, per mille. It picks each key word's rarest gram
// as its anchor, so that the filters fire seldom on ordinary records, and weighs the bytes that
// the head filter's buckets let through.
inline double byteWeight(unsigned char c) {
    static const double kLower[26] = {
            40, 7,  20, 22, 60, 11, 10, 20, 38, 1, 4, 22, 14,  // a-m
            37, 38, 12, 1,  32, 33, 45, 15, 5,  7, 3, 8,  1,   // n-z
    };
    if (c >= 'a' && c <= 'z') return kLower[c - 'a'];
    if (c >= '0' && c <= '9') return 20;
    if (c >= 'A' && c <= 'Z') return 3;
    switch (c) {
        case ' ':
            return 150;
        case ':':
        case '.':
            return 15;
        case ',':
        case '_':
        case '-':
            return 8;
        case '=':
            return 6;
        case '(':
        case ')':
        case '[':
        case ']':
        case '/':
        case ';':
            return 3;
        default:
            return c >= 0x20 && c < 0x7f ? 1 : 0.5;
    }
}

// A bit filter is an array of 32-bit words; a gram or a window picks its bit by a hash.
inline uint32_t gramBit(uint32_t gram, unsigned shift) {
    return (gram * kFilterMultiplier) >> shift;
}

inline uint32_t windowBit(uint32_t first, uint32_t second, unsigned shift) {
    return ((first * kFilterMultiplier) ^ (second * kSlotMultiplier)) >> shift;
}

inline uint32_t hasBit(const uint32_t* filter, uint32_t bit) {
    return (filter[bit >> 5] >> (bit & 31)) & 1;
}

// A 3-byte gram is read as four bytes and masked: the caller guarantees a fourth readable byte
// (the text's or the pattern's terminating NUL at worst).
inline uint32_t loadGram(const char* p, size_t width) {
    if (width == 2) {
        uint16_t g;
        memcpy(&g, p, sizeof(g));
        return g;
    }
    uint32_t g;
    memcpy(&g, p, sizeof(g));
    if (width == 3) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return g >> 8;
#else
        return g & 0xFFFFFFu;
#endif
    }
    return g;
}

}  // namespace keyword_matcher
}  // namespace android::tarnd
