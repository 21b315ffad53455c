// Host stand-in for liblog's writer interface, with the assertion macros that the platform's
// headers (libutils' Vector, RefBase, ...) expect from it.
#pragma once

#include <android/log.h>

#ifndef LOG_TAG
#define LOG_TAG nullptr
#endif

// Without NDEBUG the debug-only checks are on, as in the platform's header.
#ifndef LOG_NDEBUG
#ifdef NDEBUG
#define LOG_NDEBUG 1
#else
#define LOG_NDEBUG 0
#endif
#endif

#define LOG_ALWAYS_FATAL(...) __android_log_assert(nullptr, LOG_TAG, __VA_ARGS__)
#define LOG_ALWAYS_FATAL_IF(cond, ...) \
    ((__builtin_expect(!!(cond), 0)) ? __android_log_assert(#cond, LOG_TAG, __VA_ARGS__) : (void)0)

#if LOG_NDEBUG
#define LOG_FATAL_IF(cond, ...) ((void)0)
#define LOG_FATAL(...) ((void)0)
#else
#define LOG_FATAL_IF(cond, ...) LOG_ALWAYS_FATAL_IF(cond, __VA_ARGS__)
#define LOG_FATAL(...) LOG_ALWAYS_FATAL(__VA_ARGS__)
#endif

#define ALOG_ASSERT(cond, ...) LOG_FATAL_IF(!(cond), __VA_ARGS__)
