// libzel on the host: nothing is uploaded anywhere; every call is logged under the library's own
// tag and kept for the tests.
#include <android/log.h>
#include <tarnd_host/ZelRecorder.h>
#include <zel/zel.h>

#include <utility>

namespace tarnd_host {

ZelRecorder& ZelRecorder::instance() {
    // Never destroyed: a dump may still report while the process exits.
    static ZelRecorder* recorder = new ZelRecorder();
    return *recorder;
}

void ZelRecorder::record(ZelCall call) {
    std::lock_guard<std::mutex> lock(mLock);
    mCalls.push_back(std::move(call));
}

std::vector<ZelCall> ZelRecorder::callsFrom(size_t from) const {
    std::lock_guard<std::mutex> lock(mLock);
    if (from >= mCalls.size()) return {};
    return std::vector<ZelCall>(mCalls.begin() + static_cast<std::ptrdiff_t>(from), mCalls.end());
}

size_t ZelRecorder::count() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mCalls.size();
}

}  // namespace tarnd_host

namespace {

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

extern "C" int __zel_log_all(int type, const char* module, const char* event, int arg3, int arg4,
                             int arg5, int arg6, int arg7, int arg8, int arg9, const char* fileList,
                             int flags) {
    tarnd_host::ZelCall call;
    call.type = type;
    call.module = orEmpty(module);
    call.event = orEmpty(event);
    call.args = {arg3, arg4, arg5, arg6, arg7, arg8, arg9};
    call.fileList = orEmpty(fileList);
    call.flags = flags;
    __android_log_print(ANDROID_LOG_DEBUG, "zel",
                        "log_all type=%d module=%s event=%s args=%d,%d,%d,%d,%d,%d,%d files=%s "
                        "flags=%d",
                        type, call.module.c_str(), call.event.c_str(), arg3, arg4, arg5, arg6, arg7,
                        arg8, arg9, call.fileList.c_str(), flags);
    tarnd_host::ZelRecorder::instance().record(std::move(call));
    return 0;
}
