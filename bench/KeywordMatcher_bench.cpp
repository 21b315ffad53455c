// Records per second of KeywordMatcher against the nested strstr search it replaces, on generated
// kernel and logcat records of which about one in a thousand holds a key word. After the runs it
// prints the median speed-up per key word count and how the matcher's cost grows from 64 to 256.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/LogCorpus.h"
#include "detectors/KeywordMatcher.h"

namespace android {
namespace {

constexpr size_t kRecordCount = 20000;
constexpr size_t kKeywordCounts[] = {8, 64, 256};

struct Workload {
    std::vector<KeywordMatcher::Entry> entries;
    KeywordMatcher matcher;
    std::vector<std::string> records;
    size_t matchedRecords = 0;
};

// Two key words per event, and event names repeating every 24 events, as when several monitors
// hold copies of the same events.
std::unique_ptr<Workload> makeWorkload(size_t keywordCount) {
    std::unique_ptr<Workload> workload(new Workload);
    const std::vector<std::string> keywords = logcorpus::keywords(keywordCount);
    for (size_t k = 0; k < keywords.size(); k += 2) {
        KeywordMatcher::Entry entry{"event" + std::to_string(k / 2 % 24), {keywords[k]}};
        if (k + 1 < keywords.size()) entry.keywords.push_back(keywords[k + 1]);
        workload->entries.push_back(entry);
    }
    workload->matcher.build(workload->entries);
    workload->records = logcorpus::records(kRecordCount, keywords);
    return workload;
}

Workload& workload(size_t keywordCount) {
    static std::map<size_t, std::unique_ptr<Workload>> workloads;
    std::unique_ptr<Workload>& slot = workloads[keywordCount];
    if (!slot) slot = makeWorkload(keywordCount);
    return *slot;
}

// The matcher must agree with the reference on every record, or its speed means nothing.
bool checkAgreement(size_t keywordCount) {
    Workload& w = workload(keywordCount);
    w.matchedRecords = 0;
    for (const std::string& record : w.records) {
        std::vector<std::string> fast;
        std::vector<std::string> slow;
        w.matcher.match(record.c_str(), [&fast](const std::string& name) { fast.push_back(name); });
        KeywordMatcher::matchReference(w.entries, record.c_str(),
                                       [&slow](const std::string& name) { slow.push_back(name); });
        if (fast != slow) {
            fprintf(stderr, "matcher and reference disagree on: %s\n", record.c_str());
            return false;
        }
        w.matchedRecords += slow.empty() ? 0 : 1;
    }
    return true;
}

void benchMatcher(benchmark::State& state, size_t keywordCount) {
    const Workload& w = workload(keywordCount);
    size_t sent = 0;
    for (auto _ : state) {
        for (const std::string& record : w.records) {
            w.matcher.match(record.c_str(), [&sent](const std::string&) { ++sent; });
        }
        benchmark::DoNotOptimize(sent);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.records.size()));
}

void benchReference(benchmark::State& state, size_t keywordCount) {
    const Workload& w = workload(keywordCount);
    size_t sent = 0;
    for (auto _ : state) {
        for (const std::string& record : w.records) {
            KeywordMatcher::matchReference(w.entries, record.c_str(),
                                           [&sent](const std::string&) { ++sent; });
        }
        benchmark::DoNotOptimize(sent);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.records.size()));
}

std::string matcherName(size_t count) { return "KeywordMatcher/" + std::to_string(count); }
std::string referenceName(size_t count) { return "Reference/" + std::to_string(count); }

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

}  // namespace
}  // namespace android

int main(int argc, char** argv) {
    using namespace android;
    std::vector<char*> args(argv, argv + argc);
    // Defaults that make the medians steady while the whole run stays well under a minute.
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
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    for (size_t keywords : kKeywordCounts) {
        if (!checkAgreement(keywords)) return 1;
        const Workload& w = workload(keywords);
        printf("%zu key words: %zu of %zu records match\n", keywords, w.matchedRecords,
               w.records.size());
        benchmark::RegisterBenchmark(matcherName(keywords).c_str(), benchMatcher, keywords)
                ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(referenceName(keywords).c_str(), benchReference, keywords)
                ->Unit(benchmark::kMicrosecond);
    }

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\nspeed-up, median CPU time of reference / matcher:\n");
    for (size_t keywords : kKeywordCounts) {
        const std::string fast = matcherName(keywords);
        const std::string slow = referenceName(keywords);
        if (reporter.has(fast) && reporter.has(slow)) {
            printf("  %3zu key words: %6.2fx\n", keywords,
                   reporter.median(slow) / reporter.median(fast));
        }
    }
    if (reporter.has(matcherName(64)) && reporter.has(matcherName(256))) {
        printf("matcher cost at 256 / cost at 64: %.2f\n",
               reporter.median(matcherName(256)) / reporter.median(matcherName(64)));
    }
    return 0;
}
