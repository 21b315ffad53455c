// liblog's writer on the host: every message goes to standard error in logcat's threadtime layout
// and into the in-process main buffer.
#include <android/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

std::atomic<__android_logger_function> gLogger{nullptr};

char priorityLetter(int prio) {
    static const char kLetters[] = "??VDIWEFS";
    return (prio >= 0 && prio <= ANDROID_LOG_SILENT) ? kLetters[prio] : '?';
}

// All lines of one message go out in a single write so that threads never interleave.
void echo(const tarnd_host::LogRecord& r) {
    time_t sec = static_cast<time_t>(r.sec);
    struct tm tm;
    localtime_r(&sec, &tm);
    char header[96];
    snprintf(header, sizeof(header), "%02d-%02d %02d:%02d:%02d.%03u %5d %5d %c ", tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, r.nsec / 1000000, r.pid, r.tid,
             priorityLetter(r.prio));
    std::string out;
    size_t start = 0;
    do {
        size_t end = r.msg.find('\n', start);
        if (end == std::string::npos) end = r.msg.size();
        out.append(header).append(r.tag).append(": ").append(r.msg, start, end - start);
        out.push_back('\n');
        start = end + 1;
    } while (start < r.msg.size());
    size_t off = 0;
    while (off < out.size()) {
        ssize_t n = write(STDERR_FILENO, out.data() + off, out.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" void __android_log_set_logger(__android_logger_function logger) { gLogger = logger; }

extern "C" int __android_log_write(int prio, const char* tag, const char* text) {
    if (__android_logger_function logger = gLogger.load()) {
        __android_log_message message = {sizeof(message), 0, prio, tag, nullptr, 0, text};
        logger(&message);
        return 1;
    }
    tarnd_host::LogRecord r;
    r.logId = 0;
    r.pid = getpid();
    r.tid = static_cast<int32_t>(syscall(SYS_gettid));
    r.prio = prio;
    r.tag = tag ? tag : "";
    r.msg = text ? text : "";
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    r.sec = static_cast<uint32_t>(now.tv_sec);
    r.nsec = static_cast<uint32_t>(now.tv_nsec);
    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    if (store.echo()) echo(r);
    store.append(std::move(r));
    return 1;
}

extern "C" int __android_log_vprint(int prio, const char* tag, const char* fmt, va_list ap) {
    char buf[1024];  // the platform truncates messages at this size too
    vsnprintf(buf, sizeof(buf), fmt, ap);
    return __android_log_write(prio, tag, buf);
}

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int ret = __android_log_vprint(prio, tag, fmt, ap);
    va_end(ap);
    return ret;
}

extern "C" void __android_log_assert(const char* cond, const char* tag, const char* fmt, ...) {
    char buf[1024];
    if (fmt != nullptr) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
    } else {
        snprintf(buf, sizeof(buf), "Assertion failed: %s", cond ? cond : "");
    }
    __android_log_write(ANDROID_LOG_FATAL, tag, buf);
    abort();
}
