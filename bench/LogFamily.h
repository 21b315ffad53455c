#pragma once

// A family of generated log corpora for the key word matcher, none of them the text it was tuned
// on. Each member fixes what makes matching hard: how much of the filler is pieces of the key
// words, how long the key words are, how many are realistic GPU and display phrases rather than
// random identifiers, how often they share prefixes and suffixes, and whether the records are
// kernel or logcat ones. Two seeds per setting, so that no single draw decides.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/LogCorpus.h"

namespace android {
namespace logfamily {

using logcorpus::Rng;
using logcorpus::internal::format;

enum class Style { kKernel, kLogcat, kMixed };

struct Member {
    std::string name;
    uint64_t seed;
    unsigned fragmentPercent;  // filler words that are pieces of the key words
    size_t minLength;          // key word length in bytes, drawn evenly in [min, max]
    size_t maxLength;
    unsigned phrasePercent;  // realistic phrases; the others look like identifiers
    unsigned affixPercent;   // key words that take a prefix or a suffix of an earlier one
    Style style;
};

inline std::vector<Member> members() {
    struct Setting {
        const char* name;
        unsigned fragments;
        size_t minLength, maxLength;
        unsigned phrases, affixes;
        Style style;
    };
    static const Setting kSettings[] = {
            {"calm", 0, 6, 32, 80, 20, Style::kMixed},
            {"phrase", 60, 4, 24, 100, 40, Style::kKernel},
            {"ident", 85, 3, 20, 0, 40, Style::kLogcat},
            {"short", 70, 3, 8, 50, 30, Style::kMixed},
            {"affix", 70, 16, 40, 50, 80, Style::kKernel},
            {"most", 95, 3, 40, 50, 60, Style::kMixed},
    };
    std::vector<Member> result;
    for (uint64_t seed : {11, 12}) {
        for (const Setting& s : kSettings) {
            result.push_back({std::string(s.name) + "-" + std::to_string(seed), seed, s.fragments,
                              s.minLength, s.maxLength, s.phrases, s.affixes, s.style});
        }
    }
    return result;
}

namespace internal {

inline uint32_t below(Rng& rng, size_t n) { return rng.below(static_cast<uint32_t>(n)); }

template <size_t N>
const char* pick(Rng& rng, const char* const (&items)[N]) {
    return items[rng.below(static_cast<uint32_t>(N))];
}

// A GPU or display phrase as a driver or the graphics stack would print it.
inline std::string phrase(Rng& rng) {
    static const char* const kSubjects[] = {
            "GPU",          "gpu",          "kgsl",
            "adreno",       "mali",         "panfrost",
            "msm_drm",      "dpu",          "sde",
            "mdss",         "dsi",          "DSI0",
            "crtc",         "CRTC-0",       "plane",
            "encoder",      "connector",    "HDMI",
            "eDP",          "DP-MST",       "vblank",
            "vsync",        "pageflip",     "fence",
            "syncobj",      "ring",         "gfx",
            "compute",      "sdma",         "vcn",
            "HWC",          "hwcomposer",   "SurfaceFlinger",
            "RenderEngine", "gralloc",      "ion",
            "dma-buf",      "EGL",          "GLES",
            "Vulkan",       "VkQueue",      "swapchain",
            "BufferQueue",  "HWUI",         "display",
            "panel",        "backlight",    "DSC",
            "PSR",          "HDCP",         "EDID",
            "DPCD",         "smmu",         "GMU",
            "zap shader",   "firmware",     "clock",
            "regulator",    "interconnect", "rotator",
    };
    static const char* const kProblems[] = {
            "timeout",   "timed out", "hang",        "hung",          "fault",    "page fault",
            "underrun",  "overflow",  "failed",      "failure",       "error",    "lost",
            "stuck",     "stalled",   "reset",       "recovery",      "mismatch", "not ready",
            "busy",      "invalid",   "unsupported", "out of memory", "OOM",      "leak",
            "corrupted", "dropped",   "missed",      "crash",         "abort",    "panic",
            "denied",    "exhausted", "wedged",      "lockup",        "watchdog", "bad state",
    };
    const std::string subject = pick(rng, kSubjects);
    const std::string problem = pick(rng, kProblems);
    switch (rng.below(9)) {
        case 0:
            return subject + ": " + problem;
        case 1:
            return "*ERROR* " + subject + " " + problem;
        case 2:
            return "[" + subject + "] " + problem;
        case 3:
            return subject + std::to_string(rng.below(4)) + " " + problem;
        case 4:
            return problem + " on " + subject;
        case 5:
            return subject + " " + problem + " on " + pick(rng, kSubjects);
        case 6: {
            std::string glued = subject + "_" + problem;
            std::replace(glued.begin(), glued.end(), ' ', '_');
            return glued;
        }
        default:
            return subject + " " + problem;
    }
}

// A word of random letters and digits in one of the shapes identifiers take in logs.
inline std::string identifier(Rng& rng) {
    static const char kConsonants[] = "bcdfghjklmnpqrstvwxz";
    static const char kVowels[] = "aeiouy";
    static const char kHex[] = "0123456789abcdef";
    std::string word;
    switch (rng.below(4)) {
        case 0:  // snake_case of made-up syllables
        case 1: {
            const size_t parts = 1 + rng.below(3);
            for (size_t p = 0; p < parts; ++p) {
                if (p) word += '_';
                const size_t syllables = 1 + rng.below(3);
                for (size_t s = 0; s < syllables; ++s) {
                    word += kConsonants[rng.below(20)];
                    word += kVowels[rng.below(6)];
                    if (rng.below(3) == 0) word += kConsonants[rng.below(20)];
                }
            }
            return word;
        }
        case 2: {  // camelCase
            const size_t parts = 2 + rng.below(2);
            for (size_t p = 0; p < parts; ++p) {
                char c = kConsonants[rng.below(20)];
                word += p ? static_cast<char>(c - 'a' + 'A') : c;
                word += kVowels[rng.below(6)];
                word += kConsonants[rng.below(20)];
            }
            return word;
        }
        default: {  // letters then hex digits, like an error code
            word += static_cast<char>('A' + rng.below(26));
            word += static_cast<char>('A' + rng.below(26));
            const size_t digits = 2 + rng.below(6);
            for (size_t d = 0; d < digits; ++d) word += kHex[rng.below(16)];
            return word;
        }
    }
}

inline std::string fresh(Rng& rng, unsigned phrasePercent) {
    return rng.below(100) < phrasePercent ? phrase(rng) : identifier(rng);
}

// Brings a key word to `length` bytes: more words after it, then a cut. It never ends or starts
// with a space, so that the length is what it seems.
inline std::string fit(std::string word, size_t length, Rng& rng, unsigned phrasePercent) {
    while (word.size() < length) {
        word += rng.below(2) ? " " : "_";
        word += fresh(rng, phrasePercent);
    }
    word.resize(length);
    if (word.back() == ' ') word.back() = 'x';
    if (word.front() == ' ') word.front() = 'x';
    return word;
}

}  // namespace internal

/// The member's first `count` key words; every count takes a prefix of the same list.
inline std::vector<std::string> keywords(const Member& member, size_t count) {
    Rng rng(member.seed * 0x100000001B3ull + member.fragmentPercent * 131 + member.minLength * 7 +
            member.maxLength);
    std::vector<std::string> result;
    while (result.size() < count) {
        const size_t length =
                member.minLength + internal::below(rng, member.maxLength - member.minLength + 1);
        std::string word;
        if (!result.empty() && rng.below(100) < member.affixPercent) {
            // A prefix or suffix of an earlier key word, as drivers name their messages.
            const std::string& other = result[internal::below(rng, result.size())];
            const size_t shared =
                    std::min(length - 1, 2 + size_t{internal::below(rng, other.size() - 1)});
            const std::string rest = internal::fit(internal::fresh(rng, member.phrasePercent),
                                                   length - std::min(shared, other.size()), rng,
                                                   member.phrasePercent);
            word = rng.below(2)
                           ? other.substr(0, shared) + rest
                           : rest + other.substr(other.size() - std::min(shared, other.size()));
            word = internal::fit(word, length, rng, member.phrasePercent);
        } else {
            word = internal::fit(internal::fresh(rng, member.phrasePercent), length, rng,
                                 member.phrasePercent);
        }
        if (std::find(result.begin(), result.end(), word) == result.end()) result.push_back(word);
    }
    return result;
}

namespace internal {

inline bool holdsAny(const std::string& text, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (strstr(text.c_str(), word.c_str()) != nullptr) return true;
    }
    return false;
}

// Pieces of the key words as logs repeat them: their words, any few bytes of them, and near
// misses one byte short at either end. None holds a whole key word.
inline std::vector<std::string> fragments(const std::vector<std::string>& keywords, Rng& rng) {
    std::vector<std::string> result;
    auto add = [&](const std::string& piece) {
        if (piece.size() >= 2 && !holdsAny(piece, keywords)) result.push_back(piece);
    };
    for (const std::string& word : keywords) {
        size_t start = 0;
        while (start < word.size()) {
            size_t end = word.find_first_of(" _:-[]", start);
            if (end == std::string::npos) end = word.size();
            if (end - start < word.size()) add(word.substr(start, end - start));
            start = end + 1;
        }
        for (int k = 0; k < 3; ++k) {
            const size_t length = 2 + below(rng, std::min<size_t>(word.size() - 1, 12));
            add(word.substr(below(rng, word.size() - length + 1), length));
        }
        add(word.substr(1));
        add(word.substr(0, word.size() - 1));
    }
    if (result.empty()) result.push_back("xx");
    return result;
}

inline std::string fillerWord(Rng& rng) {
    static const char* const kWords[] = {
            "status",  "on",     "for",     "the",    "ok",      "done",     "queued",
            "submit",  "retire", "signal",  "wait",   "idle",    "active",   "commit",
            "atomic",  "mode",   "refresh", "layer",  "buffer",  "frame",    "width",
            "height",  "format", "client",  "enable", "disable", "power",    "level",
            "request", "handle", "from",    "to",     "with",    "pid",      "tid",
            "seq",     "ts",     "irq",     "state",  "updated", "complete", "pending",
    };
    switch (rng.below(10)) {
        case 0:
            return format("%s=%u", pick(rng, kWords), rng.below(100000));
        case 1:
            return format("0x%08x", rng.below(0xffffffffu));
        case 2:
            return format("%u", rng.below(1000000));
        case 3:
            return format("/vendor/lib64/%s.so", pick(rng, kWords));
        default:
            return pick(rng, kWords);
    }
}

inline std::string body(Rng& rng, const Member& member, const std::vector<std::string>& pieces,
                        size_t length, std::string line) {
    while (line.size() < length) {
        const bool fragment = rng.below(100) < member.fragmentPercent;
        line += fragment ? pieces[below(rng, pieces.size())] : fillerWord(rng);
        switch (rng.below(12)) {
            case 0:
                line += ", ";
                break;
            case 1:
                line += ": ";
                break;
            case 2:
                if (fragment) break;  // glued to the next word, as in identifiers
                [[fallthrough]];
            default:
                line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

}  // namespace internal

/// `count` records, about one in matchEvery holding one of the key words; the others hold none.
/// Kernel records carry their /dev/kmsg header and often a driver's device prefix; logcat ones
/// are message texts. Most are 24 to 220 bytes, one in eight up to 400 bytes longer.
inline std::vector<std::string> records(const Member& member, size_t count,
                                        const std::vector<std::string>& keywords,
                                        uint32_t matchEvery = 1000) {
    static const char* const kDevices[] = {
            "msm_drm ae00000.qcom,mdss_mdp: ",
            "[drm:dpu_encoder_phys_vid_wait_for_commit_done:500] ",
            "adreno 3d00000.gpu: ",
            "mali 13000000.gpu: ",
            "panfrost ff9a0000.gpu: ",
            "i915 0000:00:02.0: [drm] ",
            "",
            "",
    };
    Rng rng(member.seed ^ 0xC2B2AE3D27D4EB4Full);
    Rng planter(member.seed ^ 0x5A5A5A5A5A5A5A5Aull);
    const std::vector<std::string> pieces = internal::fragments(keywords, rng);
    std::vector<std::string> result;
    result.reserve(count);
    uint32_t sequence = 2000;
    uint64_t microseconds = 9000000;
    while (result.size() < count) {
        const size_t length =
                24 + rng.below(100) + rng.below(100) + (rng.below(8) == 0 ? rng.below(400) : 0);
        const bool kernel = member.style == Style::kKernel ||
                            (member.style == Style::kMixed && rng.below(2) == 0);
        std::string line;
        for (int attempt = 0; attempt < 20; ++attempt) {
            line.clear();
            if (kernel) {
                microseconds += rng.below(300000);
                line = format("%u,%u,%llu,-;", 2 + rng.below(5), sequence,
                              static_cast<unsigned long long>(microseconds));
                line += internal::pick(rng, kDevices);
            }
            line = internal::body(rng, member, pieces, length, line);
            if (!internal::holdsAny(line, keywords)) break;
        }
        sequence += kernel ? 1 : 0;
        logcorpus::internal::plant(line, keywords, planter, matchEvery);
        result.push_back(line);
    }
    return result;
}

}  // namespace logfamily
}  // namespace android
