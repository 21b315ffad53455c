#ifndef TARND_BENCH_LOGCORPUS_H
#define TARND_BENCH_LOGCORPUS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

namespace android {
namespace logcorpus {

/// Small deterministic generator (splitmix64): the same seed gives the same corpus everywhere.
class Rng {
  public:
    explicit Rng(uint64_t seed) : mState(seed) {}

    uint64_t next() {
        uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n); n > 0.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

    template <typename T, size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(static_cast<uint32_t>(N))];
    }

  private:
    uint64_t mState;
};

/// Driver and framework error phrases as a device configuration would list them: hand-picked
/// ones first, then engine/connector/firmware variants, so every prefix is a plausible set.
inline std::vector<std::string> keywords(size_t count) {
    static const char* const kPhrases[] = {
            "GPU HANG",
            "ring timeout",
            "page fault at",
            "hangcheck timer elapsed",
            "Resetting chip for",
            "*ERROR* CPU pipe A FIFO underrun",
            "flip_done timed out",
            "atomic commit failed",
            "engine reset failed",
            "context banned",
            "GuC firmware load failed",
            "HuC authentication failed",
            "fence wait timed out",
            "vblank wait timed out",
            "timed out waiting for forcewake",
            "GPU crash dump saved",
            "DMAR: DRHD: handling fault",
            "Unable to handle kernel NULL pointer",
            "BUG: scheduling while atomic",
            "watchdog: BUG: soft lockup",
            "Kernel panic - not syncing",
            "kernel BUG at",
            "general protection fault",
            "Out of memory: Kill process",
            "ANR in ",
            "FATAL EXCEPTION",
            "SurfaceFlinger died",
            "EGL_BAD_ALLOC",
            "GL_OUT_OF_MEMORY",
            "dequeueBuffer failed",
            "gralloc alloc failed",
            "HWC2 validate failed",
            "vsync event timeout",
            "Fatal signal 11 (SIGSEGV)",
            "Abort message:",
            "I915_GEM_EXECBUFFER2 failed",
            "render ring stuck",
            "Unclaimed read from register",
            "Unclaimed write to register",
            "PSR exit timeout",
            "DPCD read failed",
            "link training failed",
            "backlight update failed",
            "HDCP authentication failed",
            "mmio debug disabled",
            "GEM object leak",
            "wait for idle timed out",
            "semaphore wait stuck",
    };
    static const char* const kSubjects[] = {
            "rcs0", "bcs0",   "vcs0",   "vcs1",   "vecs0", "ccs0",     "GuC",     "HuC",
            "DMC",  "pipe A", "pipe B", "pipe C", "DP-1",  "HDMI-A-1", "eDP-1",   "DSI-1",
            "PSR",  "FBC",    "GT0",    "ppgtt",  "ggtt",  "lmem",     "CRTC:51", "plane 1A",
    };
    static const char* const kProblems[] = {
            "hang detected", "reset failed",       "timed out",   "fault detected",
            "stuck",         "underrun",           "init failed", "not responding",
            "CRC mismatch",  "power well timeout", "wedged",      "lost interrupt",
    };
    std::vector<std::string> result;
    for (const char* phrase : kPhrases) {
        if (result.size() == count) return result;
        result.push_back(phrase);
    }
    const size_t subjects = sizeof(kSubjects) / sizeof(kSubjects[0]);
    const size_t problems = sizeof(kProblems) / sizeof(kProblems[0]);
    // Walk the subject x problem grid diagonally so short prefixes mix both.
    for (size_t k = 0; k < subjects * problems && result.size() < count; ++k) {
        const size_t subject = k % subjects;
        const size_t problem = (k / subjects + k) % problems;
        result.push_back(std::string(kSubjects[subject]) + " " + kProblems[problem]);
    }
    for (size_t k = 0; result.size() < count; ++k) {
        result.push_back("driver error #" + std::to_string(k));
    }
    return result;
}

namespace internal {

inline std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline std::string format(const char* fmt, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    if (n < 0) return std::string();
    return std::string(buffer, static_cast<size_t>(n) < sizeof(buffer) ? n : sizeof(buffer) - 1);
}

inline std::string kernelMessage(Rng& rng) {
    static const char* const kComms[] = {"surfaceflinger",  "system_server", "composer@2.1-se",
                                         "RenderThread",    "kworker/u8:2",  "logd",
                                         "android.hardwar", "Binder:1234_2", "hwservicemanager"};
    static const char* const kPipes[] = {"A", "B", "C"};
    static const char* const kConnectors[] = {"eDP-1", "DP-1", "HDMI-A-1", "DP-2"};
    static const char* const kUsb[] = {"xhci_hcd", "ehci-pci", "dwc3"};
    switch (rng.below(24)) {
        case 0:
            return format(
                    "i915 0000:00:02.0: [drm] GuC firmware i915/kbl_guc_%d.%d.%d.bin version %d.%d",
                    rng.below(70), rng.below(10), rng.below(10), rng.below(70), rng.below(10));
        case 1:
            return format(
                    "[drm:intel_dp_detect [i915]] [CONNECTOR:%u:%s] status updated from %s to %s",
                    90 + rng.below(20), rng.pick(kConnectors),
                    rng.below(2) ? "connected" : "disconnected",
                    rng.below(2) ? "connected" : "disconnected");
        case 2:
            return format(
                    "[drm:drm_mode_addfb2] [FB:%u] pitch %u, %ux%u, format XR24 little-endian",
                    100 + rng.below(200), 4 * (1024 + rng.below(4096)), 1920u, 1080u);
        case 3:
            return format("i915 0000:00:02.0: [drm] pipe %s: vblank enabled, %u Hz, crtc_clock %u",
                          rng.pick(kPipes), 60 - rng.below(2), 148500 + rng.below(1000));
        case 4:
            return format(
                    "audit: type=1400 audit(%u.%03u:%u): avc: denied { %s } for pid=%u "
                    "comm=\"%s\" name=\"card0\" dev=\"tmpfs\" ino=%u "
                    "scontext=u:r:untrusted_app:s0:c512,c768 "
                    "tcontext=u:object_r:gpu_device:s0 tclass=chr_file permissive=0",
                    1500000000u + rng.below(100000000), rng.below(1000), rng.below(9000),
                    rng.below(2) ? "read write" : "ioctl", 1000 + rng.below(30000),
                    rng.pick(kComms), 10000 + rng.below(90000));
        case 5:
            return format("binder: %u:%u transaction failed %u/-22, size %u-%u line %u",
                          100 + rng.below(5000), 100 + rng.below(5000), 29189u, rng.below(4000),
                          8 * rng.below(20), 2900 + rng.below(300));
        case 6:
            return format("healthd: battery l=%u v=%u t=%u.%u h=2 st=%u c=%d fc=%u cc=%u chg=%s",
                          rng.below(101), 3500 + rng.below(800), 20 + rng.below(20), rng.below(10),
                          2 + rng.below(3), static_cast<int>(rng.below(2000)) - 1000,
                          2800000 + rng.below(200000), rng.below(500), rng.below(2) ? "u" : "");
        case 7:
            return format(
                    "lowmemorykiller: Killing '%s' (%u), adj %u,\n   to free %ukB on behalf "
                    "of '%s' (%u) because\n   cache %ukB is below limit %ukB for oom_score_adj %u",
                    rng.below(2) ? "com.android.chrome" : "com.google.android.gms",
                    2000 + rng.below(20000), 900 + rng.below(100), 10000 + rng.below(90000),
                    "kswapd0", 100 + rng.below(100), 50000 + rng.below(50000), 55296u, 906u);
        case 8:
            return format("usb 1-%u: new high-speed USB device number %u using %s",
                          1 + rng.below(4), 2 + rng.below(30), rng.pick(kUsb));
        case 9:
            return format(
                    "EXT4-fs (mmcblk0p%u): mounted filesystem with ordered data mode. Opts: %s",
                    10 + rng.below(30), rng.below(2) ? "(null)" : "barrier=1,data=ordered");
        case 10:
            return format("CPU%u: update max cpu_capacity %u", rng.below(8), 600 + rng.below(425));
        case 11:
            return format("PM: suspend entry (deep)");
        case 12:
            return format("PM: suspend exit %u-%02u-%02u %02u:%02u:%02u.%09u UTC", 2016u,
                          1 + rng.below(12), 1 + rng.below(28), rng.below(24), rng.below(60),
                          rng.below(60), rng.below(1000000000));
        case 13:
            return format("wlan0: associated with %02x:%02x:%02x:%02x:%02x:%02x (aid %u)",
                          rng.below(256), rng.below(256), rng.below(256), rng.below(256),
                          rng.below(256), rng.below(256), 1 + rng.below(10));
        case 14:
            return format("init: Service '%s' (pid %u) exited with status %u",
                          rng.below(2) ? "bootanim" : "vendor.thermal-engine",
                          200 + rng.below(5000), rng.below(2));
        case 15:
            return format("[drm:i915_gem_context_create_ioctl [i915]] HW context %u created",
                          1 + rng.below(500));
        case 16:
            return format(
                    "i915 0000:00:02.0: [drm] [ENCODER:%u:DDI %s] Enable audio codec on pipe %s, "
                    "%u bytes ELD",
                    94 + rng.below(10), rng.pick(kPipes), rng.pick(kPipes), 18 + rng.below(20));
        case 17:
            return format(
                    "thermal thermal_zone%u: critical temperature reached (%u C), shutting down"
                    " cooling device %u",
                    rng.below(8), 90 + rng.below(20), rng.below(4));
        case 18:
            return format("mmc0: new HS400 MMC card at address 0001");
        case 19:
            return format("[drm:intel_power_well_enable [i915]] enabling power well %u",
                          rng.below(8));
        case 20:
            return format("sched: RT throttling activated for cpu%u", rng.below(8));
        case 21:
            return format(
                    "type=1107 audit(%u.%03u:%u): uid=1000 auid=4294967295 ses=4294967295 "
                    "subj=u:r:init:s0 msg='avc: denied { set } for property=sys.gfx.trace "
                    "pid=%u uid=%u gid=%u scontext=u:r:vendor_init:s0'",
                    1500000000u + rng.below(100000000), rng.below(1000), rng.below(9000),
                    rng.below(9000), 1000u + rng.below(100), 1000u + rng.below(100));
        case 22:
            return format("[drm:gen8_de_irq_handler [i915]] DE pipe %s flip done, frame %u",
                          rng.pick(kPipes), rng.below(1000000));
        default:
            return format("random: crng init done, %u bits of entropy", rng.below(512));
    }
}

inline std::string logcatMessage(Rng& rng) {
    static const char* const kPackages[] = {
            "com.android.settings", "com.google.android.apps.maps", "com.android.chrome",
            "com.android.systemui", "com.example.game3d",           "com.google.android.youtube",
    };
    static const char* const kActivities[] = {".MainActivity", ".Settings", ".ui.HomeActivity",
                                              ".player.WatchActivity"};
    switch (rng.below(20)) {
        case 0:
            return format("Start proc %u:%s/u0a%u for activity %s/%s", 2000 + rng.below(30000),
                          rng.pick(kPackages), 10 + rng.below(200), rng.pick(kPackages),
                          rng.pick(kActivities));
        case 1:
            return format("Displayed %s/%s: +%ums", rng.pick(kPackages), rng.pick(kActivities),
                          100 + rng.below(3000));
        case 2:
            return format(
                    "Background concurrent copying GC freed %u(%uKB) AllocSpace objects, %u(%uMB)"
                    " LOS objects, %u%% free, %uMB/%uMB, paused %uus total %ums",
                    1000 + rng.below(100000), rng.below(9000), rng.below(100), rng.below(20),
                    20 + rng.below(60), rng.below(200), rng.below(400), rng.below(2000),
                    rng.below(500));
        case 3:
            return format(
                    "Skipped %u frames!  The application may be doing too much work on its "
                    "main thread.",
                    30 + rng.below(200));
        case 4:
            return format(
                    "Davey! duration=%ums; Flags=0, IntendedVsync=%u, Vsync=%u, "
                    "OldestInputEvent=9223372036854775807, HandleInputStart=%u",
                    700 + rng.below(2000), rng.below(2000000000), rng.below(2000000000),
                    rng.below(2000000000));
        case 5:
            return format("setRequestedFrameRate: frameRate=%u.0, compatibility=0",
                          30 + rng.below(90));
        case 6:
            return format("Acquiring wakelock *alarm* for uid %u", 1000 + rng.below(10000));
        case 7:
            return format("handleMessage: what=%u, arg1=%u", rng.below(200), rng.below(5));
        case 8:
            return format("Sending broadcast android.intent.action.BATTERY_CHANGED to %u receivers",
                          rng.below(40));
        case 9:
            return format("eglMakeCurrent: %u ms, context 0x%08x surface 0x%08x", rng.below(20),
                          rng.below(0x7fffffff), rng.below(0x7fffffff));
        case 10:
            return format("Client %s: setLayer %u, z-order %u, buffer %ux%u format %u",
                          rng.pick(kPackages), rng.below(50), rng.below(30000), 1080u, 2340u,
                          1 + rng.below(4));
        case 11:
            return format("Loading /vendor/lib/egl/libGLES_mesa.so");
        case 12:
            return format("Initialized EGL, version 1.4");
        case 13:
            return format("Connected to network \"%s\" (%u dBm, %u MHz)",
                          rng.below(2) ? "OfficeWiFi" : "GuestNet", 40 + rng.below(50),
                          rng.below(2) ? 2412u : 5180u);
        case 14:
            return format("notifyDisplayStateChanged: state=%s, brightness=%u",
                          rng.below(2) ? "ON" : "DOZE", rng.below(256));
        case 15:
            return format("Package %s codePath changed from /data/app/%s-%u to /data/app/%s-%u",
                          rng.pick(kPackages), rng.pick(kPackages), 1 + rng.below(3),
                          rng.pick(kPackages), 1 + rng.below(3));
        case 16:
            return format(
                    "Accessing hidden method Landroid/view/View;->computeFitSystemWindows("
                    "Landroid/graphics/Rect;Landroid/graphics/Rect;)Z (light greylist, "
                    "reflection)");
        case 17:
            return format("onSurfaceTextureAvailable width=%u height=%u", 720 + rng.below(1200),
                          480 + rng.below(1200));
        case 18:
            return format("HWComposer: vsync %s for display %u",
                          rng.below(2) ? "enabled" : "disabled", rng.below(2));
        default:
            return format("Freeing unused memory: %uK, cache trim level %u", rng.below(50000),
                          rng.below(80));
    }
}

// About one line in matchEvery (none when 0) gets one of the key words between two words.
inline void plant(std::string& line, const std::vector<std::string>& keywords, Rng& planter,
                  uint32_t matchEvery) {
    if (keywords.empty() || matchEvery == 0 || planter.below(matchEvery) != 0) return;
    const std::string& keyword = keywords[planter.below(static_cast<uint32_t>(keywords.size()))];
    size_t at = line.find(' ', planter.below(static_cast<uint32_t>(line.size())));
    at = at == std::string::npos ? line.size() : at + 1;
    line.insert(at, keyword + " ");
}

}  // namespace internal

/// Records as the detectors see them: half kernel log records with their header
/// ("6,1234,5678901,-;..."), half logcat message texts. About one record in matchEvery (none when
/// 0) gets one of the key words inserted between two words. The records without a key word depend
/// only on the seed, so corpora for different key word sets differ only in the planted records.
inline std::vector<std::string> records(size_t count, const std::vector<std::string>& plant,
                                        uint64_t seed = 1, uint32_t matchEvery = 1000) {
    Rng rng(seed);
    Rng planter(seed ^ 0x5A5A5A5A5A5A5A5Aull);
    std::vector<std::string> result;
    result.reserve(count);
    uint32_t sequence = 1000 + rng.below(5000);
    uint64_t microseconds = 5000000 + rng.below(100000000);
    for (size_t k = 0; k < count; ++k) {
        std::string line;
        if (rng.below(2) == 0) {
            static const unsigned kLevels[] = {6, 6, 6, 6, 4, 3, 7, 5, 6, 12};
            microseconds += rng.below(200000);
            line = internal::format("%u,%u,%llu,-;", rng.pick(kLevels), sequence++,
                                    static_cast<unsigned long long>(microseconds));
            line += internal::kernelMessage(rng);
        } else {
            line = internal::logcatMessage(rng);
        }
        internal::plant(line, plant, planter, matchEvery);
        result.push_back(line);
    }
    return result;
}

/// Key words for the hard corpus: GPU driver phrases that share their words and prefixes ("GPU
/// HANG", "GPU fault", "GPU reset"), some only three bytes long, then a subject x problem grid.
inline std::vector<std::string> hardKeywords(size_t count) {
    static const char* const kPhrases[] = {
            "GPU HANG",      "ring timeout", "ANR",  "GPU fault",     "fence timeout", "GPU reset",
            "[drm] *ERROR*", "OOM",          "TDR",  "Hang detected", "MMU fault",     "GPU hung",
            "ring hung",     "fence wait",   "SMMU", "hangcheck",
    };
    static const char* const kSubjects[] = {
            "GPU",   "GPU0",  "GPU1",  "ring", "rcs0",   "bcs0",   "vcs0", "vecs0",
            "ccs0",  "fence", "kgsl",  "KGSL", "adreno", "mali",   "GuC",  "HuC",
            "[drm]", "gfx",   "sdma0", "CRTC", "pipe A", "pipe B", "DPU",  "ctx",
    };
    static const char* const kProblems[] = {
            "HANG", "hang",    "fault", "reset",  "timeout", "stall",
            "hung", "*ERROR*", "Hang",  "wedged", "lockup",  "error",
    };
    std::vector<std::string> result;
    for (const char* phrase : kPhrases) {
        if (result.size() == count) return result;
        result.push_back(phrase);
    }
    const size_t subjects = sizeof(kSubjects) / sizeof(kSubjects[0]);
    const size_t problems = sizeof(kProblems) / sizeof(kProblems[0]);
    for (size_t k = 0; k < subjects * problems && result.size() < count; ++k) {
        std::string keyword = std::string(kSubjects[k % subjects]) + " " +
                              kProblems[(k / subjects + k) % problems];
        bool known = false;
        for (const std::string& other : result) known = known || other == keyword;
        if (!known) result.push_back(keyword);
    }
    for (size_t k = 0; result.size() < count; ++k) {
        result.push_back("GPU fault #" + std::to_string(k));
    }
    return result;
}

/// Kernel and logcat records of 40 to 300 bytes whose filler words are the words of the hard key
/// words ("GPU", "ring", "timeout", "[drm]", "Hang"), so that every gram of a key word is common
/// and only whole key words are rare. A record holding any of hardKeywords(256) by chance is drawn
/// again; then about one record in matchEvery gets one of `plant` inserted between two words.
inline std::vector<std::string> hardRecords(size_t count, const std::vector<std::string>& plant,
                                            uint64_t seed = 7, uint32_t matchEvery = 1000) {
    const std::vector<std::string> all = hardKeywords(256);
    std::vector<std::string> fragments;
    for (const std::string& keyword : all) {
        size_t start = 0;
        while (start < keyword.size()) {
            size_t end = keyword.find(' ', start);
            if (end == std::string::npos) end = keyword.size();
            const std::string word = keyword.substr(start, end - start);
            bool usable = word.size() > 1;
            for (const std::string& k : all) usable = usable && word.find(k) == std::string::npos;
            for (const std::string& f : fragments) usable = usable && f != word;
            if (usable) fragments.push_back(word);
            start = end + 1;
        }
    }
    static const char* const kWords[] = {
            "status",   "on",      "for",    "failed", "seqno", "pid",    "ctx",    "engine",
            "signaled", "wait",    "idle",   "active", "queue", "submit", "retire", "context",
            "done",     "request", "vblank", "irq",    "after", "ms",     "state",  "detected",
    };
    static const char* const kPrefixes[] = {
            "i915 0000:00:02.0: ",
            "kgsl kgsl-3d0: ",
            "[drm:i915_hangcheck_elapsed [i915]] ",
            "msm_dpu ae01000.display-controller: ",
            "",
            "",
            "",
    };
    Rng rng(seed);
    Rng planter(seed ^ 0x5A5A5A5A5A5A5A5Aull);
    std::vector<std::string> result;
    result.reserve(count);
    uint32_t sequence = 1000;
    while (result.size() < count) {
        std::string line;
        if (rng.below(2) == 0) {
            line = internal::format("%u,%u,%u,-;", 3 + rng.below(4), sequence++,
                                    5000000 + rng.below(900000000));
        }
        line += rng.pick(kPrefixes);
        const size_t length = 40 + rng.below(261);
        while (line.size() < length) {
            const uint32_t kind = rng.below(20);
            if (kind < 10) {
                line += fragments[rng.below(static_cast<uint32_t>(fragments.size()))];
            } else if (kind < 15) {
                line += rng.pick(kWords);
            } else if (kind < 17) {
                line += internal::format("%s=%u", rng.pick(kWords), rng.below(100000));
            } else if (kind < 19) {
                line += internal::format("0x%08x", rng.below(0xffffffffu));
            } else {
                line += internal::format(
                        "%s%u:",
                        fragments[rng.below(static_cast<uint32_t>(fragments.size()))].c_str(),
                        rng.below(16));
            }
            line += rng.below(6) == 0 ? ", " : " ";
        }
        line.resize(std::min(line.size(), size_t{300}));
        while (!line.empty() && line.back() == ' ') line.pop_back();
        bool clean = true;
        for (const std::string& k : all) clean = clean && line.find(k) == std::string::npos;
        if (!clean) continue;
        internal::plant(line, plant, planter, matchEvery);
        result.push_back(line);
    }
    return result;
}

}  // namespace logcorpus
}  // namespace android

#endif  // TARND_BENCH_LOGCORPUS_H
