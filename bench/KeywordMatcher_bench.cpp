// Time per record of KeywordMatcher against the nested strstr search it replaces and, when
// Hyperscan is installed, against Hyperscan's literal matcher. First on the two corpora the
// matcher was developed on: ordinary kernel and logcat records, and hard ones whose filler words
// are pieces of the key words. Then on a family of corpora from another generator
// (bench/LogFamily.h) that vary what makes matching hard; the matcher is judged by the worst of
// them. In all about one record in a thousand holds a key word. After the runs it prints the
// medians side by side, how the matcher's cost grows from 64 to 256 key words, and its memory.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/LogCorpus.h"
#include "bench/LogFamily.h"
#include "detectors/KeywordMatcher.h"

#ifndef TARND_BENCH_HYPERSCAN
#define TARND_BENCH_HYPERSCAN 0
#endif
#if TARND_BENCH_HYPERSCAN
#include <hs.h>
#endif

namespace android {
namespace {

using tarnd::KeywordMatcher;
using Strings = std::vector<std::string>;

constexpr size_t kKeywordCounts[] = {8, 64, 256};

struct Corpus {
    std::string name;
    size_t records;
    std::function<Strings(size_t count)> keywords;
    std::function<Strings(size_t count, const Strings& keywords)> generate;
    bool family;  // judged in the summary row
};

const std::vector<Corpus>& corpora() {
    static const std::vector<Corpus> all = [] {
        std::vector<Corpus> result = {
                {"log", 20000, logcorpus::keywords,
                 [](size_t n, const Strings& k) { return logcorpus::records(n, k); }, false},
                {"hard", 200000, logcorpus::hardKeywords,
                 [](size_t n, const Strings& k) { return logcorpus::hardRecords(n, k); }, false},
        };
        for (const logfamily::Member& member : logfamily::members()) {
            result.push_back({member.name, 20000,
                              [member](size_t n) { return logfamily::keywords(member, n); },
                              [member](size_t n, const Strings& k) {
                                  return logfamily::records(member, n, k);
                              },
                              true});
        }
        return result;
    }();
    return all;
}

#if TARND_BENCH_HYPERSCAN
/// Hyperscan's literal matcher set up for the same entries: one scan per record, then the same
/// walk over the entries as the matcher's, so that both send the same names.
class HyperscanPeer {
  public:
    ~HyperscanPeer() {
        hs_free_scratch(mScratch);
        hs_free_database(mDatabase);
    }

    bool build(const std::vector<KeywordMatcher::Entry>& entries) {
        std::map<std::string, unsigned> ids;
        std::map<std::string, uint32_t> names;
        for (const KeywordMatcher::Entry& entry : entries) {
            auto name = names.emplace(entry.name, static_cast<uint32_t>(mNames.size()));
            if (name.second) mNames.push_back(entry.name);
            mEntries.push_back({name.first->second, {}});
            for (const std::string& keyword : entry.keywords) {
                auto id = ids.emplace(keyword, static_cast<unsigned>(mPatterns.size()));
                if (id.second) mPatterns.push_back(keyword);
                mEntries.back().patterns.push_back(id.first->second);
            }
        }
        std::vector<const char*> expressions;
        std::vector<size_t> lengths;
        std::vector<unsigned> flags(mPatterns.size(), HS_FLAG_SINGLEMATCH);
        std::vector<unsigned> patternIds;
        for (const std::string& pattern : mPatterns) {
            patternIds.push_back(static_cast<unsigned>(expressions.size()));
            expressions.push_back(pattern.c_str());
            lengths.push_back(pattern.size());
        }
        hs_compile_error_t* error = nullptr;
        if (hs_compile_lit_multi(expressions.data(), flags.data(), patternIds.data(),
                                 lengths.data(), static_cast<unsigned>(mPatterns.size()),
                                 HS_MODE_BLOCK, nullptr, &mDatabase, &error) != HS_SUCCESS) {
            fprintf(stderr, "hyperscan: %s\n", error->message);
            hs_free_compile_error(error);
            return false;
        }
        mFound.assign(mPatterns.size(), 0);
        mSent.assign(mNames.size(), 0);
        return hs_alloc_scratch(mDatabase, &mScratch) == HS_SUCCESS;
    }

    // Single-threaded: the found and sent flags live in the peer.
    template <typename F>
    void match(const char* text, F&& emit) {
        mHits.clear();
        hs_scan(mDatabase, text, static_cast<unsigned>(strlen(text)), 0, mScratch, onMatch, this);
        if (mHits.empty()) return;
        for (const PeerEntry& entry : mEntries) {
            if (mSent[entry.name]) continue;
            for (unsigned id : entry.patterns) {
                if (mFound[id]) {
                    mSent[entry.name] = 1;
                    emit(mNames[entry.name]);
                    break;
                }
            }
        }
        for (unsigned id : mHits) mFound[id] = 0;
        mSent.assign(mNames.size(), 0);
    }

  private:
    struct PeerEntry {
        uint32_t name;
        std::vector<unsigned> patterns;
    };

    static int onMatch(unsigned id, unsigned long long, unsigned long long, unsigned, void* self) {
        HyperscanPeer* peer = static_cast<HyperscanPeer*>(self);
        if (!peer->mFound[id]) {
            peer->mFound[id] = 1;
            peer->mHits.push_back(id);
        }
        return 0;
    }

    std::vector<std::string> mNames;
    std::vector<std::string> mPatterns;
    std::vector<PeerEntry> mEntries;
    std::vector<unsigned char> mFound;
    std::vector<unsigned char> mSent;
    std::vector<unsigned> mHits;
    hs_database_t* mDatabase = nullptr;
    hs_scratch_t* mScratch = nullptr;
};
#endif

struct Workload {
    std::vector<KeywordMatcher::Entry> entries;
    KeywordMatcher matcher;
    std::vector<std::string> records;
    size_t matchedRecords = 0;
#if TARND_BENCH_HYPERSCAN
    HyperscanPeer peer;
#endif
};

// Two key words per event, and event names repeating every 24 events, as when several monitors
// hold copies of the same events.
std::unique_ptr<Workload> makeWorkload(const Corpus& corpus, size_t keywordCount) {
    std::unique_ptr<Workload> workload(new Workload);
    const std::vector<std::string> keywords = corpus.keywords(keywordCount);
    for (size_t k = 0; k < keywords.size(); k += 2) {
        KeywordMatcher::Entry entry{"event" + std::to_string(k / 2 % 24), {keywords[k]}};
        if (k + 1 < keywords.size()) entry.keywords.push_back(keywords[k + 1]);
        workload->entries.push_back(entry);
    }
    workload->matcher.build(workload->entries);
    workload->records = corpus.generate(corpus.records, keywords);
#if TARND_BENCH_HYPERSCAN
    if (!workload->peer.build(workload->entries)) return nullptr;
#endif
    return workload;
}

Workload& workload(const Corpus& corpus, size_t keywordCount) {
    static std::map<std::string, std::unique_ptr<Workload>> workloads;
    std::unique_ptr<Workload>& slot = workloads[corpus.name + "/" + std::to_string(keywordCount)];
    if (!slot) slot = makeWorkload(corpus, keywordCount);
    if (!slot) abort();
    return *slot;
}

// Matcher and peer must agree with the reference on every record, or their speed means nothing.
bool checkAgreement(const Corpus& corpus, size_t keywordCount) {
    Workload& w = workload(corpus, keywordCount);
    w.matchedRecords = 0;
    for (const std::string& record : w.records) {
        std::vector<std::string> fast;
        std::vector<std::string> slow;
        w.matcher.match(record.c_str(), [&fast](const std::string& name) { fast.push_back(name); });
        KeywordMatcher::matchReference(w.entries, record.c_str(),
                                       [&slow](const std::string& name) { slow.push_back(name); });
#if TARND_BENCH_HYPERSCAN
        std::vector<std::string> peer;
        w.peer.match(record.c_str(), [&peer](const std::string& name) { peer.push_back(name); });
        if (peer != slow) {
            fprintf(stderr, "hyperscan and reference disagree on: %s\n", record.c_str());
            return false;
        }
#endif
        if (fast != slow) {
            fprintf(stderr, "matcher and reference disagree on: %s\n", record.c_str());
            return false;
        }
        w.matchedRecords += slow.empty() ? 0 : 1;
    }
    return true;
}

enum Contender { kMatcher, kReference, kHyperscan };
const char* const kContenderNames[] = {"KeywordMatcher", "Reference", "Hyperscan"};

void benchContender(benchmark::State& state, const Corpus* corpus, size_t keywordCount,
                    Contender contender) {
    Workload& w = workload(*corpus, keywordCount);
    size_t sent = 0;
    auto count = [&sent](const std::string&) { ++sent; };
    for (auto _ : state) {
        for (const std::string& record : w.records) {
            if (contender == kMatcher) {
                w.matcher.match(record.c_str(), count);
            } else if (contender == kReference) {
                KeywordMatcher::matchReference(w.entries, record.c_str(), count);
            } else {
#if TARND_BENCH_HYPERSCAN
                w.peer.match(record.c_str(), count);
#endif
            }
        }
        benchmark::DoNotOptimize(sent);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.records.size()));
}

std::string benchName(const Corpus& corpus, Contender contender, size_t count) {
    return std::string(corpus.name) + "/" + kContenderNames[contender] + "/" +
           std::to_string(count);
}

/// Console output as usual, plus each benchmark's median CPU time per pass over the corpus.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                mMedians[name] = run.GetAdjustedCPUTime();
            } else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
                mMedians[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    bool has(const std::string& name) const { return mMedians.count(name) != 0; }
    double median(const std::string& name) const { return mMedians.at(name); }

  private:
    std::map<std::string, double> mMedians;
};

bool hasFlag(const std::vector<char*>& args, const char* prefix) {
    for (const char* arg : args) {
        if (std::string(arg).compare(0, strlen(prefix), prefix) == 0) return true;
    }
    return false;
}

// Nanoseconds per record of a median pass, or 0 when that benchmark did not run.
double perRecord(const MedianReporter& reporter, const Corpus& corpus, Contender contender,
                 size_t count) {
    const std::string name = benchName(corpus, contender, count);
    if (!reporter.has(name)) return 0;
    return reporter.median(name) * 1000.0 / static_cast<double>(corpus.records);
}

// The family's worst figures, each with the member it comes from.
struct Worst {
    double speedup[3] = {0, 0, 0};  // nested / matcher, lowest, per key word count
    std::string speedupAt[3];
    double ratio = 0;  // cost at 256 / cost at 64, highest
    std::string ratioAt;
    double peer = 0;  // matcher / Hyperscan, highest over every key word count
    std::string peerAt;
    size_t memory = 0;  // at 256 key words, largest
};

void printSummary(const MedianReporter& reporter, const std::vector<const Corpus*>& chosen) {
    printf("\nns per record (median CPU time of interleaved repetitions):\n");
    printf("%-10s %8s %10s %10s %10s %12s %12s\n", "corpus", "keywords", "nested", "matcher",
           "hyperscan", "nested/mat.", "mat./hyper.");
    Worst worst;
    bool any = false;
    for (const Corpus* corpus : chosen) {
        for (size_t k = 0; k < 3; ++k) {
            const size_t keywords = kKeywordCounts[k];
            const double matcher = perRecord(reporter, *corpus, kMatcher, keywords);
            const double nested = perRecord(reporter, *corpus, kReference, keywords);
            const double peer = perRecord(reporter, *corpus, kHyperscan, keywords);
            if (matcher == 0) continue;
            printf("%-10s %8zu %10.1f %10.1f ", corpus->name.c_str(), keywords, nested, matcher);
            if (peer != 0) {
                printf("%10.1f %11.2fx %11.2fx\n", peer, nested / matcher, matcher / peer);
            } else {
                printf("%10s %11.2fx %12s\n", "-", nested / matcher, "-");
            }
            if (!corpus->family) continue;
            if (nested != 0 && (worst.speedup[k] == 0 || nested / matcher < worst.speedup[k])) {
                worst.speedup[k] = nested / matcher;
                worst.speedupAt[k] = corpus->name;
            }
            if (peer != 0 && matcher / peer > worst.peer) {
                worst.peer = matcher / peer;
                worst.peerAt = corpus->name + "/" + std::to_string(keywords);
            }
            any = true;
        }
        const double at64 = perRecord(reporter, *corpus, kMatcher, 64);
        const double at256 = perRecord(reporter, *corpus, kMatcher, 256);
        if (at64 != 0 && at256 != 0) {
            printf("%-10s matcher cost at 256 / cost at 64: %.2f\n", corpus->name.c_str(),
                   at256 / at64);
            if (corpus->family && at256 / at64 > worst.ratio) {
                worst.ratio = at256 / at64;
                worst.ratioAt = corpus->name;
            }
        }
    }
    for (const Corpus* corpus : chosen) {
        const size_t bytes = workload(*corpus, 256).matcher.memoryUse();
        printf("%-10s matcher memory at 256 key words: %zu bytes\n", corpus->name.c_str(), bytes);
        if (corpus->family) worst.memory = std::max(worst.memory, bytes);
    }
    if (!any) return;
    printf("\nworst of the family (goals: >= 1.5x / 5x / 20x, ratio <= 1.3, <= 1.25x "
           "Hyperscan):\n");
    for (size_t k = 0; k < 3; ++k) {
        printf("  nested / matcher at %3zu key words: %6.2fx (%s)\n", kKeywordCounts[k],
               worst.speedup[k], worst.speedupAt[k].c_str());
    }
    printf("  cost at 256 / cost at 64:            %6.2f  (%s)\n", worst.ratio,
           worst.ratioAt.c_str());
    printf("  matcher / Hyperscan:                 %6.2fx (%s)\n", worst.peer,
           worst.peerAt.c_str());
    printf("  memory at 256 key words:          %8zu bytes\n", worst.memory);
    printf("summary: %.2fx / %.2fx / %.2fx | ratio %.2f | %.2fx Hyperscan\n", worst.speedup[0],
           worst.speedup[1], worst.speedup[2], worst.ratio, worst.peer);
}

// --corpora=NAME,NAME (a name may end in '*') picks corpora; "family" stands for every member.
bool picks(const std::string& list, const Corpus& corpus) {
    if (list.empty()) return true;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(start, end - start);
        if (item == corpus.name || (item == "family" && corpus.family)) return true;
        if (!item.empty() && item.back() == '*' &&
            corpus.name.compare(0, item.size() - 1, item, 0, item.size() - 1) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace
}  // namespace android

int main(int argc, char** argv) {
    using namespace android;
    std::vector<char*> args(argv, argv + argc);
    // Defaults that make the medians steady while the whole run stays around a minute.
    // Interleaving the repetitions spreads a busy spell of the machine over all benchmarks
    // instead of skewing the one that happens to run then.
    static char repetitions[] = "--benchmark_repetitions=5";
    static char minTime[] = "--benchmark_min_time=0.2";
    static char aggregatesOnly[] = "--benchmark_display_aggregates_only=true";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!hasFlag(args, "--benchmark_repetitions")) args.push_back(repetitions);
    if (!hasFlag(args, "--benchmark_min_time")) args.push_back(minTime);
    if (!hasFlag(args, "--benchmark_display_aggregates_only")) args.push_back(aggregatesOnly);
    if (!hasFlag(args, "--benchmark_enable_random_interleaving")) args.push_back(interleave);
    std::string corporaList;
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (std::string(*it).compare(0, 10, "--corpora=") == 0) {
            corporaList = *it + 10;
            args.erase(it);
            break;
        }
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    const Contender contenders[] = {kMatcher, kReference, kHyperscan};
    std::vector<const Corpus*> picked;
    for (const Corpus& corpus : corpora()) {
        if (!picks(corporaList, corpus)) continue;
        picked.push_back(&corpus);
        for (size_t keywords : kKeywordCounts) {
            if (!checkAgreement(corpus, keywords)) return 1;
            const Workload& w = workload(corpus, keywords);
            printf("%s corpus, %zu key words: %zu of %zu records match\n", corpus.name.c_str(),
                   keywords, w.matchedRecords, w.records.size());
            for (Contender contender : contenders) {
                if (contender == kHyperscan && !TARND_BENCH_HYPERSCAN) continue;
                benchmark::RegisterBenchmark(benchName(corpus, contender, keywords).c_str(),
                                             benchContender, &corpus, keywords, contender)
                        ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    if (!TARND_BENCH_HYPERSCAN) printf("libhs not found: no Hyperscan row\n");

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printSummary(reporter, picked);
    return 0;
}
