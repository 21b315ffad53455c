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
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "detectors/KeywordMatcher.h"
#include "fuzz/FuzzSandbox.h"

using android::KeywordMatcher;
using tarnd_fuzz::printable;

namespace {

std::string fold(const std::string& text, unsigned letters) {
    if (letters == 0) return text;
    std::string out(text);
    for (char& c : out) c = static_cast<char>('a' + static_cast<unsigned char>(c) % letters);
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void printNames(const char* label, const std::vector<std::string>& names) {
    fprintf(stderr, "%s", label);
    for (const std::string& name : names) fprintf(stderr, " \"%s\"", printable(name).c_str());
    fprintf(stderr, "\n");
}

[[noreturn]] void fail(const char* what, const std::vector<KeywordMatcher::Entry>& entries,
                       const char* text, const std::vector<std::string>& got,
                       const std::vector<std::string>& expected) {
    fprintf(stderr, "matcher_fuzzer: %s\ntext: \"%s\"\n", what, printable(text).c_str());
    for (const KeywordMatcher::Entry& entry : entries) {
        printNames(("entry \"" + printable(entry.name) + "\":").c_str(), entry.keywords);
    }
    printNames("matcher:  ", got);
    printNames("reference:", expected);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned letters = data[0] & 7;
    std::vector<std::string> lines =
            split(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), '\n');

    std::vector<KeywordMatcher::Entry> entries;
    for (size_t i = 1; i < lines.size(); ++i) {
        KeywordMatcher::Entry entry;
        entry.name = lines[i].substr(0, 1);
        if (lines[i].size() > 1) {
            for (const std::string& keyword : split(lines[i].substr(1), '|')) {
                entry.keywords.push_back(fold(keyword, letters));
            }
        }
        entries.push_back(std::move(entry));
    }

    // Exactly the text and its terminator on the heap, so that a read past them is caught.
    const std::string folded = fold(lines[0], letters);
    std::unique_ptr<char[]> text(new char[folded.size() + 1]);
    memcpy(text.get(), folded.data(), folded.size());
    text[folded.size()] = '\0';

    // One matcher for the whole run: build() must leave nothing of the previous input behind.
    static KeywordMatcher* matcher = new KeywordMatcher();
    matcher->build(entries);

    std::vector<std::string> expected;
    KeywordMatcher::matchReference(entries, text.get(),
                                   [&](const std::string& name) { expected.push_back(name); });
    std::vector<std::string> got;
    matcher->match(text.get(), [&](const std::string& name) { got.push_back(name); });
    if (got != expected) fail("matcher and reference differ", entries, text.get(), got, expected);

    for (size_t i = 0; i < got.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (got[i] == got[j]) fail("a name sent twice", entries, text.get(), got, expected);
        }
    }
    return 0;
}
