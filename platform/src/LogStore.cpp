#include <tarnd_host/LogStore.h>
#include <time.h>

namespace tarnd_host {

LogStore& LogStore::instance() {
    // Never destroyed: threads may still log while the process exits.
    static LogStore* store = new LogStore();
    return *store;
}

void LogStore::append(LogRecord record) {
    if (record.sec == 0 && record.nsec == 0) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        record.sec = static_cast<uint32_t>(now.tv_sec);
        record.nsec = static_cast<uint32_t>(now.tv_nsec);
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        record.seq = mFirstSeq + mRecords.size();
        mRecords.push_back(std::move(record));
        if (mRecords.size() > kCapacity) {
            mRecords.pop_front();
            ++mFirstSeq;
        }
    }
    mCond.notify_all();
}

uint64_t LogStore::nextSeq() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mFirstSeq + mRecords.size();
}

void LogStore::forEach(uint64_t from, const std::function<void(const LogRecord&)>& fn) const {
    std::lock_guard<std::mutex> lock(mLock);
    size_t start = from > mFirstSeq ? static_cast<size_t>(from - mFirstSeq) : 0;
    for (size_t i = start; i < mRecords.size(); ++i) fn(mRecords[i]);
}

bool LogStore::waitFor(uint64_t from, const std::function<bool()>& stop,
                       std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mLock);
    auto available = [&] { return mFirstSeq + mRecords.size() > from; };
    ++mWaiting;
    mCond.wait_until(lock, deadline, [&] { return available() || stop(); });
    --mWaiting;
    return available();
}

bool LogStore::read(uint64_t seq, LogRecord* out) const {
    std::lock_guard<std::mutex> lock(mLock);
    if (seq < mFirstSeq) seq = mFirstSeq;
    if (seq >= mFirstSeq + mRecords.size()) return false;
    *out = mRecords[static_cast<size_t>(seq - mFirstSeq)];
    return true;
}

void LogStore::wakeAll() {
    { std::lock_guard<std::mutex> lock(mLock); }
    mCond.notify_all();
}

size_t LogStore::waiting() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mWaiting;
}

void LogStore::setEcho(bool on) {
    std::lock_guard<std::mutex> lock(mLock);
    mEcho = on;
}

bool LogStore::echo() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mEcho;
}

LogCapture::LogCapture() : mStart(LogStore::instance().nextSeq()) {}

std::vector<LogLine> LogCapture::lines(const char* tag) const {
    std::vector<LogLine> out;
    LogStore::instance().forEach(mStart, [&](const LogRecord& r) {
        if (tag == nullptr || r.tag == tag) out.push_back(LogLine{r.prio, r.tag, r.msg});
    });
    return out;
}

std::vector<std::string> LogCapture::messages(const char* tag) const {
    std::vector<std::string> out;
    for (auto& l : lines(tag)) out.push_back(l.msg);
    return out;
}

size_t LogCapture::count(const std::string& msg, const char* tag) const {
    size_t n = 0;
    for (auto& l : lines(tag)) n += l.msg == msg;
    return n;
}

bool LogCapture::waitUntil(const std::function<bool(const std::vector<LogLine>&)>& pred,
                           std::chrono::milliseconds timeout, const char* tag) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    LogStore& store = LogStore::instance();
    for (;;) {
        uint64_t next = store.nextSeq();
        if (pred(lines(tag))) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        store.waitFor(
                next, [] { return false; }, deadline);
    }
}

bool LogCapture::waitFor(const std::string& msg, size_t n, std::chrono::milliseconds timeout,
                         const char* tag) const {
    return waitUntil(
            [&](const std::vector<LogLine>& ls) {
                size_t c = 0;
                for (auto& l : ls) c += l.msg == msg;
                return c >= n;
            },
            timeout, tag);
}

void injectLogRecord(int logId, int32_t pid, int32_t tid, int prio, const std::string& tag,
                     const std::string& msg) {
    LogRecord r;
    r.logId = logId;
    r.pid = pid;
    r.tid = tid;
    r.prio = prio;
    r.tag = tag;
    r.msg = msg;
    LogStore::instance().append(std::move(r));
}

}  // namespace tarnd_host
