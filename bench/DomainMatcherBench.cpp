// Matching a host against a large matcher: the filter's per-flow cost for a named flow.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <tolvane/DomainMatcher.hpp>
#include <unordered_set>
#include <vector>

namespace {

struct Fixture {
    std::vector<tolvane::Domain> domains;
    std::vector<std::string> hosts;

    Fixture() {
        std::mt19937 random(42);
        const char* tlds[] = {"com", "org", "net", "co.uk", "de", "io"};
        auto word = [&](int min, int max) {
            std::string w;
            const int n = std::uniform_int_distribution<int>(min, max)(random);
            for (int i = 0; i < n; ++i) w += static_cast<char>('a' + random() % 26);
            return w;
        };
        for (int i = 0; i < 10000; ++i) {
            domains.push_back(
                *tolvane::Domain::make(word(4, 12) + std::to_string(i) + "." + tlds[i % 6]));
        }
        // 4,096 lower-case hosts of 2 to 6 labels, about half under a blocked domain.
        for (int i = 0; i < 4096; ++i) {
            const int extra = std::uniform_int_distribution<int>(0, 3)(random);
            std::string base = (i % 2 == 0) ? domains[random() % domains.size()].name()
                                            : word(4, 12) + "." + tlds[random() % 6];
            for (int j = 0; j < extra; ++j) base = word(2, 8) + "." + base;
            hosts.push_back(base);
        }
    }
};

const Fixture& fixture() {
    static const Fixture f;
    return f;
}

void BM_DomainMatcherMatches(benchmark::State& state) {
    const auto& f = fixture();
    const tolvane::DomainMatcher matcher(f.domains);
    std::size_t i = 0;
    std::size_t hits = 0;
    for (auto _ : state) {
        hits += matcher.matches(f.hosts[i++ & 4095]);
    }
    benchmark::DoNotOptimize(hits);
}
BENCHMARK(BM_DomainMatcherMatches);

// The plain alternative, for scale: a node-based set with transparent lookup.
struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
void BM_UnorderedSetBaseline(benchmark::State& state) {
    const auto& f = fixture();
    std::unordered_set<std::string, Hash, std::equal_to<>> set;
    for (const auto& d : f.domains) set.insert(d.name());
    std::size_t i = 0;
    std::size_t hits = 0;
    for (auto _ : state) {
        std::string_view candidate = f.hosts[i++ & 4095];
        bool hit = set.find(candidate) != set.end();
        while (!hit) {
            auto dot = candidate.find('.');
            if (dot == std::string_view::npos) break;
            candidate.remove_prefix(dot + 1);
            hit = set.find(candidate) != set.end();
        }
        hits += hit;
    }
    benchmark::DoNotOptimize(hits);
}
BENCHMARK(BM_UnorderedSetBaseline);

void BM_DomainMatcherBuild10k(benchmark::State& state) {
    const auto& f = fixture();
    for (auto _ : state) {
        tolvane::DomainMatcher matcher(f.domains);
        benchmark::DoNotOptimize(matcher);
    }
}
BENCHMARK(BM_DomainMatcherBuild10k)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
