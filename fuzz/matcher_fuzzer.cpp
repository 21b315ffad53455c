// Differential target: the compiled key word matcher must send the same names, in the same order,
// as the plain nested strstr search it replaces.
//
// Input: one mode byte, then lines. The first line is the log text; every further line is one
// event: its first byte is the event's name (so that names repeat), the rest its key words,
// separated by '|'. A mode byte whose low three bits are k > 0 folds the text and the key words
// onto an alphabet of k letters, so that overlaps and shared grams are common; with k = 0 the
// bytes stay as they are, NUL bytes included.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "detectors/KeywordMatcher.h"
#include "fuzz/FuzzSandbox.h"

using android::tarnd::KeywordMatcher;
using Names = std::vector<std::string>;

namespace {

Names split(const std::string& text, char separator) {
    Names pieces(1);
    for (char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

std::string fold(std::string text, unsigned letters) {
    for (char& c : text) c = letters ? 'a' + static_cast<unsigned char>(c) % letters : c;
    return text;
}

std::string quoted(const Names& names) {
    std::string out;
    for (const std::string& name : names) out += " \"" + tarnd_fuzz::printable(name) + "\"";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned letters = data[0] & 7;
    const Names lines = split(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), '\n');
    std::vector<KeywordMatcher::Entry> entries;
    for (size_t i = 1; i < lines.size(); ++i) {
        entries.push_back({lines[i].substr(0, 1), {}});
        if (lines[i].size() <= 1) continue;
        for (const std::string& keyword : split(lines[i].substr(1), '|'))
            entries.back().keywords.push_back(fold(keyword, letters));
    }

    // Exactly the text and its terminator on the heap, so that a read past them is caught.
    const std::string folded = fold(lines[0], letters);
    const std::vector<char> text(folded.c_str(), folded.c_str() + folded.size() + 1);

    // One matcher for the whole run: build() must leave nothing of the previous input behind.
    // The other scans too, where the head filter or the vector ones would run.
    static KeywordMatcher* matcher = new KeywordMatcher();
    matcher->build(entries, static_cast<KeywordMatcher::Scans>(size % 3));
    Names expected, got;
    KeywordMatcher::matchReference(entries, text.data(),
                                   [&](const std::string& n) { expected.push_back(n); });
    matcher->match(text.data(), [&](const std::string& n) { got.push_back(n); });
    if (got == expected) return 0;

    std::string report = "text: \"" + tarnd_fuzz::printable(folded) + "\"\n";
    for (const KeywordMatcher::Entry& e : entries)
        report += "entry \"" + tarnd_fuzz::printable(e.name) + "\":" + quoted(e.keywords) + "\n";
    fprintf(stderr, "matcher_fuzzer: matcher and reference differ\n%smatcher:  %s\nreference:%s\n",
            report.c_str(), quoted(got).c_str(), quoted(expected).c_str());
    abort();
}
