// A small tmpfs as data path and dump root: dumps are refused by min_free_space while it is full
// and go on again once space returns.

#include <errno.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>
#include <utils/String8.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

namespace {

using Lines = std::vector<std::string>;

// 5 March 2025, 07:08:09 UTC: the dump directory's name is known in advance.
time_t fixedTime(time_t* out) {
    time_t t = 1741158489;
    if (out != nullptr) *out = t;
    return t;
}

/// Unmounts what it mounted, the service gone first so nothing keeps the file system busy.
struct Tmpfs {
    std::string path;
    bool mounted = false;
    ~Tmpfs() {
        if (mounted && umount2(path.c_str(), 0) != 0) {
            ADD_FAILURE() << "umount " << path << ": " << strerror(errno);
            umount2(path.c_str(), MNT_DETACH);
        }
    }
};

// Sends the event, then a second name: every name starts with a space scan, so the second scan
// line shows the event's dump procedure ended. Returns that procedure's lines in order.
Lines sendAndWait(android::TarnDebugService* service) {
    tarnd_host::LogCapture log;
    EXPECT_EQ(service->sendEvent(android::String8("disk_event")), android::NO_ERROR);
    EXPECT_EQ(service->sendEvent(android::String8("disk_marker")), android::NO_ERROR);
    auto isScan = [](const tarnd_host::LogLine& l) { return l.msg.compare(0, 5, "free=") == 0; };
    EXPECT_TRUE(log.waitUntil([&](const std::vector<tarnd_host::LogLine>& lines) {
        return std::count_if(lines.begin(), lines.end(), isScan) >= 2;
    }));
    Lines out;
    for (const tarnd_host::LogLine& l : log.lines()) {
        if (out.empty() && !isScan(l)) continue;  // e.g. the previous marker's refusal
        if (!out.empty() && isScan(l)) break;
        for (const char* prefix : {"free=", "No enough", "Dump event", "Filelist"}) {
            if (l.msg.compare(0, strlen(prefix), prefix) == 0) {
                out.push_back((l.prio == ANDROID_LOG_WARN ? "W " : "") + l.msg);
            }
        }
    }
    return out;
}

TEST(FullDiskTest, RefusedWhileFullAndDumpedWhenSpaceReturns) {
    if (!tarnd_test::isRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
    tarnd_test::TempDir dir;
    Tmpfs fs;
    fs.path = dir.file("data");
    ASSERT_EQ(mkdir(fs.path.c_str(), 0755), 0) << strerror(errno);
    if (mount("tmpfs", fs.path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=8m,mode=0755") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    fs.mounted = true;
    const std::string config = dir.file("tarndebug.conf");
    tarnd_test::writeFile(config, "global.log_dump_path=" + fs.path +
                                          "\nglobal.min_free_space=4\nglobal.max_dump_space=1024\n"
                                          "global.logcat_grep=0\nglobal.kmsg_grep=0\n"
                                          "handler.note.dump=echo dumped > note.txt\n"
                                          "handler.note.on=1\nevent.disk_event.handler.note.on=1\n"
                                          "monitor.main.enable=1\nmonitor.main.event=disk_event\n");
    android::sp<android::TarnDebugService> service = tarnd_test::makeService(config, fs.path);
    ASSERT_EQ(service->mStopped, 0) << "the service did not start";
    service->mTime = fixedTime;

    // Real bytes, not a sparse file: 5 of 8 MB taken, and counted as log size under the root.
    const std::string filler = fs.path + "/filler";
    tarnd_test::writeFile(filler, std::string(5 << 20, 'z'));
    EXPECT_EQ(sendAndWait(service.get()),
              (Lines{"free=3MB, total log size=5MB\n",
                     "W No enough space, MinFreeSpace: 4MB, CurrentFreeSpace: 3MB"}));
    EXPECT_EQ(tarnd_test::listDir(fs.path), Lines{"filler"});
    EXPECT_EQ(service->mHistory.size(), 0u);

    ASSERT_EQ(unlink(filler.c_str()), 0) << strerror(errno);
    const std::string path = fs.path + "/disk_event_20250305_070809/";
    EXPECT_EQ(sendAndWait(service.get()),
              (Lines{"free=8MB, total log size=0MB\n", "Dump event disk_event to " + path,
                     "Filelist: " + path + "note.txt;"}));
    EXPECT_EQ(tarnd_test::readFile(path + "note.txt"), "dumped\n");
    EXPECT_EQ(service->mHistory.size(), 1u);
}

}  // namespace
