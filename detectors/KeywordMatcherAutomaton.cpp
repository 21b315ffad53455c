#include <string.h>

#include <algorithm>
#include <vector>

#include "detectors/KeywordMatcher.h"

// Many short key words, searched by one automaton over the text. Where a log is made of pieces of
// short key words, almost every position holds some key word's gram, and a filter on grams lets
// nearly all of them through to a lookup; the automaton does the same few steps per byte on any
// text. Four cursors read four parts of the text at once, so that their steps overlap in the
// processor instead of waiting for each other.

namespace android::tarnd {

namespace {

// Bound on the transition table, well inside what 256 key words may take.
constexpr size_t kAutomatonBytes = 512 * 1024;
constexpr size_t kCursors = 4;
// Below this many bytes per cursor, one cursor is cheaper than starting four.
constexpr size_t kCursorMinimum = 16;

}  // namespace

bool KeywordMatcher::buildAutomaton(const std::vector<uint32_t>& ids, size_t headLength,
                                    bool prefixes) {
    size_t states = 1;
    size_t longest = 0;
    bool used[256] = {};
    // What the automaton reads of each key word: all of it, or its first headLength bytes when
    // the rest is compared where those occur.
    auto head = [headLength](const std::string& pattern) {
        return pattern.substr(0, std::min(pattern.size(), headLength));
    };
    for (uint32_t id : ids) {
        const std::string& pattern = mPatterns[id];
        if (pattern.size() > headLength && !prefixes) return false;
        const std::string read = head(pattern);
        longest = std::max(longest, read.size());
        states += read.size();
        for (char c : read) used[static_cast<unsigned char>(c)] = true;
    }
    // Bytes that no key word holds share class 0, and so do the text's NUL and the root's loop.
    unsigned char byteClass[256] = {};
    unsigned classes = 1;
    for (unsigned c = 1; c < 256; ++c) {
        if (used[c]) byteClass[c] = static_cast<unsigned char>(classes++);
    }
    const size_t width = classes;
    // Shared heads make fewer states than bytes; far more bytes than the table may hold are not
    // even tried.
    if (ids.empty() || states * width * sizeof(uint32_t) > 4 * kAutomatonBytes) return false;

    // The trie of the key words, then each state completed with the moves of its longest proper
    // suffix that is also in the trie, breadth first, so that a state's suffix is done before it.
    std::vector<int32_t> go(width, -1);
    std::vector<std::vector<uint32_t>> ends(1);
    for (uint32_t id : ids) {
        size_t state = 0;
        for (char c : head(mPatterns[id])) {
            const size_t at = state * width + byteClass[static_cast<unsigned char>(c)];
            if (go[at] < 0) {
                go[at] = static_cast<int32_t>(ends.size());
                ends.emplace_back();
                go.resize(go.size() + width, -1);
            }
            state = static_cast<size_t>(go[at]);
        }
        ends[state].push_back(id);
    }
    const size_t count = ends.size();
    if (count * width * sizeof(uint32_t) > kAutomatonBytes) return false;
    std::vector<size_t> suffix(count, 0);
    std::vector<size_t> queue;
    for (size_t k = 0; k < width; ++k) {
        if (go[k] < 0) {
            go[k] = 0;
        } else {
            queue.push_back(static_cast<size_t>(go[k]));
        }
    }
    for (size_t taken = 0; taken < queue.size(); ++taken) {
        const size_t state = queue[taken];
        const std::vector<uint32_t>& inherited = ends[suffix[state]];
        ends[state].insert(ends[state].end(), inherited.begin(), inherited.end());
        for (size_t k = 0; k < width; ++k) {
            const size_t at = state * width + k;
            const int32_t fallback = go[suffix[state] * width + k];
            if (go[at] < 0) {
                go[at] = fallback;
            } else {
                suffix[static_cast<size_t>(go[at])] = static_cast<size_t>(fallback);
                queue.push_back(static_cast<size_t>(go[at]));
            }
        }
    }

    // States that end a key word are numbered last, so that the scan tests one bound per byte.
    std::vector<uint32_t> number(count);
    uint32_t next = 0;
    for (bool accepting : {false, true}) {
        if (accepting) mFirstAccepting = next;
        for (size_t state = 0; state < count; ++state) {
            if (ends[state].empty() != accepting) number[state] = next++;
        }
    }
    // A state is held as the offset of its row, which saves the scan a multiplication per byte.
    mAutomaton.assign(count * width, 0);
    for (size_t state = 0; state < count; ++state) {
        for (size_t k = 0; k < width; ++k) {
            mAutomaton[number[state] * width + k] = static_cast<uint32_t>(
                    number[static_cast<size_t>(go[state * width + k])] * width);
        }
    }
    std::vector<const std::vector<uint32_t>*> byNumber(count);
    for (size_t state = 0; state < count; ++state) byNumber[number[state]] = &ends[state];
    for (size_t state = mFirstAccepting; state < count; ++state) {
        mAcceptFirst.push_back(static_cast<uint32_t>(mAccepted.size()));
        mAccepted.insert(mAccepted.end(), byNumber[state]->begin(), byNumber[state]->end());
    }
    mAcceptFirst.push_back(static_cast<uint32_t>(mAccepted.size()));
    memcpy(mByteClass, byteClass, sizeof(mByteClass));
    mAutomatonWidth = static_cast<uint32_t>(width);
    mAutomatonLongest = longest;
    mAutomatonHead = headLength;
    return true;
}

bool KeywordMatcher::accepted(uint32_t row, const char* text, size_t length, size_t end,
                              unsigned char* found) const {
    const size_t at = row / mAutomatonWidth - mFirstAccepting;
    bool hit = false;
    for (uint32_t k = mAcceptFirst[at]; k < mAcceptFirst[at + 1]; ++k) {
        const uint32_t id = mAccepted[k];
        const std::string& pattern = mPatterns[id];
        if (pattern.size() > mAutomatonHead) {
            const size_t start = end + 1 - mAutomatonHead;
            if (pattern.size() > length - start ||
                memcmp(text + end + 1, pattern.data() + mAutomatonHead,
                       pattern.size() - mAutomatonHead) != 0) {
                continue;
            }
        }
        if (found == nullptr) return true;
        found[id] = 1;
        hit = true;
    }
    return hit;
}

bool KeywordMatcher::scanAutomaton(const char* text, size_t length, unsigned char* found) const {
    const uint32_t* table = mAutomaton.data();
    const unsigned char* classes = mByteClass;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const uint32_t accepting = mFirstAccepting * mAutomatonWidth;
    auto step = [=](uint32_t row, const unsigned char* at) { return table[row + classes[*at]]; };
    bool hit = false;
    size_t done = 0;
    uint32_t last = 0;
    if (length >= kCursors * kCursorMinimum) {
        // Each cursor but the first starts as many bytes early as a key word can span, less one,
        // so that it is in the right state where its part begins. A key word ending in that
        // overlap is found twice, which marks it no differently.
        const size_t part = length / kCursors;
        const size_t lead = mAutomatonLongest - 1;
        const size_t steps = part + lead;
        const unsigned char* c0 = bytes;
        const unsigned char* c1 = bytes + part - lead;
        const unsigned char* c2 = bytes + 2 * part - lead;
        const unsigned char* c3 = bytes + 3 * part - lead;
        uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        for (size_t k = 0; k < steps; ++k) {
            s0 = step(s0, c0 + k);
            s1 = step(s1, c1 + k);
            s2 = step(s2, c2 + k);
            s3 = step(s3, c3 + k);
            if (__builtin_expect((s0 >= accepting) | (s1 >= accepting) | (s2 >= accepting) |
                                         (s3 >= accepting),
                                 0)) {
                const uint32_t rows[kCursors] = {s0, s1, s2, s3};
                const unsigned char* cursors[kCursors] = {c0, c1, c2, c3};
                for (size_t c = 0; c < kCursors; ++c) {
                    if (rows[c] >= accepting &&
                        accepted(rows[c], text, length, cursors[c] + k - bytes, found)) {
                        if (found == nullptr) return true;
                        hit = true;
                    }
                }
            }
        }
        done = kCursors * part;
        last = s3;
    }
    for (size_t k = done; k < length; ++k) {
        last = step(last, bytes + k);
        if (last >= accepting && accepted(last, text, length, k, found)) {
            if (found == nullptr) return true;
            hit = true;
        }
    }
    return hit;
}

}  // namespace android::tarnd
