// A full data file system: a small tmpfs mounted by the test serves as both the file system whose
// free space gates dumps and the dump root. Dumps are refused by min_free_space while it is full
// and go on again once space returns.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <stdint.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>
#include <utils/String8.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_host::LogLine;
using tarnd_test::TempDir;

namespace {

constexpr int kMiB = 1 << 20;
constexpr int kFsMiB = 8;       // size of the mounted file system
constexpr int kMinFreeMiB = 4;  // min_free_space

// 5 March 2025, 07:08:09 UTC: the dump directory's name is known in advance.
time_t fixedTime(time_t* out) {
    time_t t = 1741158489;
    if (out != nullptr) *out = t;
    return t;
}

const char* const kEvent = "disk_event";
const char* const kDumpDir = "disk_event_20250305_070809";

/// Closes its descriptor when it goes.
class Fd {
  public:
    explicit Fd(int fd) : mFd(fd) {}
    ~Fd() {
        if (mFd >= 0) close(mFd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return mFd; }

  private:
    int mFd;
};

// Free MB of the file system as the dump procedure counts it: all free blocks.
int freeMB(const std::string& path) {
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return -1;
    return static_cast<int>((static_cast<uint64_t>(fs.f_bfree) * fs.f_bsize) >> 20);
}

class FullDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tarnd_test::isRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
        mMount = mDir.file("data");
        ASSERT_EQ(mkdir(mMount.c_str(), 0755), 0) << strerror(errno);
        std::string options = "size=" + std::to_string(kFsMiB) + "m,mode=0755";
        if (mount("tmpfs", mMount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
        }
        mMounted = true;
        ASSERT_EQ(freeMB(mMount), kFsMiB);

        // The mounted file system is the data path and the dump root at once.
        std::string text = "global.log_dump_path=" + mMount + "\n";
        text += "global.min_free_space=" + std::to_string(kMinFreeMiB) + "\n";
        text += "global.max_dump_space=1024\n";
        text += "global.logcat_grep=0\n";
        text += "global.kmsg_grep=0\n";
        text += "handler.note.dump=echo dumped > note.txt\n";
        text += "handler.note.on=1\n";
        text += std::string("event.") + kEvent + ".handler.note.on=1\n";
        text += "monitor.main.enable=1\n";
        text += std::string("monitor.main.event=") + kEvent + "\n";
        std::string config = mDir.file("tarndebug.conf");
        tarnd_test::writeFile(config, text);
        mService = tarnd_test::makeService(config, mMount);
        ASSERT_EQ(mService->mStopped, 0) << "the service did not start";
        mService->mTime = fixedTime;
    }

    void TearDown() override {
        // The service first: nothing of it may keep the file system busy.
        mService.clear();
        if (!mMounted) return;
        if (umount2(mMount.c_str(), 0) != 0) {
            int err = errno;
            ADD_FAILURE() << "umount " << mMount << ": " << strerror(err);
            EXPECT_EQ(umount2(mMount.c_str(), MNT_DETACH), 0) << strerror(errno);
        }
        mMounted = false;
    }

    // Writes a file of real (not sparse) bytes, so that the blocks are taken.
    void fill(const std::string& path, int bytes) {
        Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        ASSERT_GE(fd.get(), 0) << strerror(errno);
        std::vector<char> chunk(64 * 1024, 'z');
        for (int done = 0; done < bytes;) {
            int n = std::min<int>(bytes - done, static_cast<int>(chunk.size()));
            ssize_t written = write(fd.get(), chunk.data(), n);
            ASSERT_EQ(written, n) << strerror(errno);
            done += n;
        }
    }

    // Sends the event and a second name after it. Every name starts with a space scan, so once
    // the second scan line is logged the event's dump procedure has run to its end; its lines,
    // from its scan line on, are returned.
    std::vector<std::string> sendAndWait() {
        static int round = 0;
        std::string marker = "disk_marker_" + std::to_string(round++);
        LogCapture log;
        EXPECT_EQ(mService->sendEvent(String8(kEvent)), android::NO_ERROR);
        EXPECT_EQ(mService->sendEvent(String8(marker.c_str())), android::NO_ERROR);
        auto scans = [](const std::vector<LogLine>& lines) {
            size_t n = 0;
            for (const LogLine& l : lines) n += l.msg.compare(0, 5, "free=") == 0;
            return n;
        };
        EXPECT_TRUE(log.waitUntil(
                [&](const std::vector<LogLine>& lines) { return scans(lines) >= 2; }));
        std::vector<std::string> out;
        for (const LogLine& line : log.lines()) {
            const std::string& m = line.msg;
            bool scan = m.compare(0, 5, "free=") == 0;
            if (scan && !out.empty()) break;
            if (out.empty() && !scan) continue;
            // Lines of the other threads and of the channel's reader: sendEvent logs after its
            // write, so its line may come after the dump's.
            if (m.compare(0, 12, "LogGCThread:") == 0 || m.compare(0, 8, "Receive ") == 0 ||
                m.compare(0, 11, "Send event ") == 0) {
                continue;
            }
            std::string prefix = line.prio == ANDROID_LOG_WARN    ? "W "
                                 : line.prio == ANDROID_LOG_ERROR ? "E "
                                                                  : "";
            out.push_back(prefix + m);
        }
        return out;
    }

    TempDir mDir;
    std::string mMount;
    bool mMounted = false;
    sp<TarnDebugService> mService;
};

TEST_F(FullDiskTest, RefusedWhileFullAndDumpedWhenSpaceReturns) {
    const std::string filler = mMount + "/filler";
    fill(filler, 5 * kMiB);
    ASSERT_EQ(freeMB(mMount), 3);

    // The filler lies under the dump root too, so it counts as log size.
    EXPECT_EQ(sendAndWait(),
              (std::vector<std::string>{
                      "free=3MB, total log size=5MB\n",
                      "W No enough space, MinFreeSpace: 4MB, CurrentFreeSpace: 3MB"}));
    EXPECT_EQ(tarnd_test::listDir(mMount), std::vector<std::string>{"filler"});
    EXPECT_EQ(mService->mHistory.size(), 0u);
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);

    ASSERT_EQ(unlink(filler.c_str()), 0) << strerror(errno);
    ASSERT_EQ(freeMB(mMount), kFsMiB);
    {
        const std::string path = mMount + "/" + kDumpDir + "/";
        std::vector<std::string> lines = sendAndWait();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], "free=8MB, total log size=0MB\n");
        EXPECT_EQ(lines[1], "The log level is 100");
        EXPECT_EQ(lines[2], std::string("Dump event ") + kEvent + " to " + path);
        EXPECT_EQ(lines.back(), "Filelist: " + path + "note.txt;");
        EXPECT_EQ(tarnd_test::listDir(mMount), std::vector<std::string>{kDumpDir});
        EXPECT_EQ(tarnd_test::listDir(path), std::vector<std::string>{"note.txt"});
        EXPECT_EQ(tarnd_test::readFile(path + "note.txt"), "dumped\n");
        ASSERT_EQ(mService->mHistory.size(), 1u);
        EXPECT_STREQ(mService->mHistory[0].mDumpDirName.string(), kDumpDir);
    }
}

// Filler sizes around the limit: free space equal to min_free_space still dumps.
struct FillCase {
    int fillerKiB;
    int freeMB;
    bool dumped;
};

// Test names carry the row as text rather than the struct's bytes, padding included.
void PrintTo(const FillCase& c, std::ostream* out) {
    *out << "filler " << c.fillerKiB << " KiB, free " << c.freeMB << " MB, "
         << (c.dumped ? "dumped" : "refused");
}

class FullDiskLimitTest : public FullDiskTest, public ::testing::WithParamInterface<FillCase> {};

TEST_P(FullDiskLimitTest, FreeSpaceAgainstLimit) {
    const FillCase& c = GetParam();
    fill(mMount + "/filler", c.fillerKiB * 1024);
    ASSERT_EQ(freeMB(mMount), c.freeMB);
    std::vector<std::string> lines = sendAndWait();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "free=" + std::to_string(c.freeMB) + "MB, total log size=" +
                                std::to_string(c.fillerKiB / 1024) + "MB\n");
    std::string refusal = "W No enough space, MinFreeSpace: " + std::to_string(kMinFreeMiB) +
                          "MB, CurrentFreeSpace: " + std::to_string(c.freeMB) + "MB";
    EXPECT_EQ(lines[1], c.dumped ? "The log level is 100" : refusal);
    EXPECT_EQ(tarnd_test::exists(mMount + "/" + kDumpDir + "/note.txt"), c.dumped);
    EXPECT_EQ(mService->mHistory.size(), c.dumped ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, FullDiskLimitTest,
                         ::testing::Values(FillCase{8 * 1024, 0, false},
                                           FillCase{4 * 1024 + 4, 3, false},
                                           FillCase{4 * 1024, 4, true},
                                           FillCase{3 * 1024, 5, true}),
                         [](const ::testing::TestParamInfo<FillCase>& info) {
                             return "Free" + std::to_string(info.param.freeMB) + "MB";
                         });

}  // namespace
