// PublicSuffixBench: building the packaged Public Suffix List, registrable-domain lookups
// side by side with libpsl on the same data file and the same 100,000 host names, and
// normalising a typical link.
//
// The host names are made from the packaged list itself (fixed seed): common and
// country-code suffixes, any listed rule, wildcard and exception rules, unlisted top-level
// labels, public suffixes alone, at depths of one to six labels. Before the benchmarks run,
// both implementations are asked about every host and the disagreements are counted.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <tolvane/DomainNormalizer.hpp>
#include <tolvane/PublicSuffixList.hpp>
#include <tolvane/ResourceBundle.hpp>
#include <tolvane/Unicode.hpp>
#include <vector>

#if defined(TOLVANE_HAVE_LIBPSL)
#include <libpsl.h>
#endif

namespace {

using tolvane::PublicSuffixList;

constexpr std::size_t kHostCount = 100'000;

const std::string& packagedPath() {
    static const std::string path = [] {
        auto found = tolvane::resources::resourcePath("public_suffix_list", "dat");
        if (!found) tolvane::resources::fatalError("no packaged public_suffix_list.dat");
        return found->string();
    }();
    return path;
}

std::string readPackaged() {
    std::string text;
    if (std::FILE* file = std::fopen(packagedPath().c_str(), "rb")) {
        char buffer[1 << 16];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

const std::string& packagedText() {
    static const std::string text = readPackaged();
    return text;
}

struct Rules {
    std::vector<std::string> exact, wildcardParents, exceptions;
};

// The rules in their ASCII form, read plainly (the data file is well-formed).
Rules rulesOf(const std::string& text) {
    Rules rules;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::string_view token = tolvane::unicode::trimmedWhitespace(line, true);
        if (token.empty() || token.starts_with("//")) continue;
        token = token.substr(0, token.find(' '));
        std::vector<std::string>* into = &rules.exact;
        if (token.starts_with('!')) {
            token.remove_prefix(1);
            into = &rules.exceptions;
        } else if (token.starts_with("*.")) {
            token.remove_prefix(2);
            into = &rules.wildcardParents;
        }
        auto ascii = tolvane::asciiCompatibleHost(token);
        if (ascii) into->push_back(*ascii);
    }
    return rules;
}

const std::vector<std::string>& hosts() {
    static const std::vector<std::string> all = [] {
        const Rules rules = rulesOf(packagedText());
        std::mt19937_64 random(20240229);
        auto pick = [&](const std::vector<std::string>& from) -> const std::string& {
            return from[random() % from.size()];
        };
        auto label = [&] {
            static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
            std::string out(3 + random() % 10, 'a');
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = kLetters[random() % (i ? 36 : 26)];
            return out;
        };
        auto withLabels = [&](std::string name, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                name = (random() % 4 == 0 ? std::string("www") : label()) + "." + name;
            }
            return name;
        };
        const std::vector<std::string> common = {"com",    "net",   "org",    "de", "io", "co.uk",
                                                 "com.au", "co.jp", "com.br", "fr", "ru", "nl"};
        std::vector<std::string> out;
        out.reserve(kHostCount);
        while (out.size() < kHostCount) {
            const auto kind = random() % 100;
            if (kind < 30) {
                out.push_back(withLabels(pick(common), 1 + random() % 3));
            } else if (kind < 60) {
                out.push_back(withLabels(pick(rules.exact), 1 + random() % 3));
            } else if (kind < 70) {
                out.push_back(withLabels(pick(rules.wildcardParents), 1 + random() % 3));
            } else if (kind < 75) {
                out.push_back(withLabels(pick(rules.exceptions), random() % 3));
            } else if (kind < 85) {
                out.push_back(withLabels("zz" + label(), 1 + random() % 3));
            } else if (kind < 92) {
                out.push_back(pick(rules.exact));
            } else {
                out.push_back(withLabels(pick(common), 4 + random() % 3));
            }
        }
        return out;
    }();
    return all;
}

void BM_BuildFromPackagedText(benchmark::State& state) {
    const std::string& text = packagedText();
    for (auto _ : state) {
        PublicSuffixList list(text);
        benchmark::DoNotOptimize(&list);
    }
}
BENCHMARK(BM_BuildFromPackagedText)->Unit(benchmark::kMillisecond);

void BM_BuildFromPackagedFile(benchmark::State& state) {
    for (auto _ : state) {
        PublicSuffixList list(readPackaged());
        benchmark::DoNotOptimize(&list);
    }
}
BENCHMARK(BM_BuildFromPackagedFile)->Unit(benchmark::kMillisecond);

// One iteration looks up every host once; "per_lookup" is the time of one lookup.
void perLookup(benchmark::State& state) {
    state.counters["per_lookup"] = benchmark::Counter(
        static_cast<double>(kHostCount),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_RegistrableDomain_Tolvane(benchmark::State& state) {
    const PublicSuffixList& list = PublicSuffixList::embedded();
    const auto& all = hosts();
    for (auto _ : state) {
        for (const std::string& host : all) benchmark::DoNotOptimize(list.registrableDomain(host));
    }
    perLookup(state);
}
BENCHMARK(BM_RegistrableDomain_Tolvane)->Unit(benchmark::kMillisecond);

#if defined(TOLVANE_HAVE_LIBPSL)
psl_ctx_t* libpsl() {
    static psl_ctx_t* context = psl_load_file(packagedPath().c_str());
    return context;
}

void BM_RegistrableDomain_Libpsl(benchmark::State& state) {
    psl_ctx_t* context = libpsl();
    if (!context) {
        state.SkipWithError("psl_load_file failed");
        return;
    }
    const auto& all = hosts();
    for (auto _ : state) {
        for (const std::string& host : all) {
            benchmark::DoNotOptimize(psl_registrable_domain(context, host.c_str()));
        }
    }
    perLookup(state);
}
BENCHMARK(BM_RegistrableDomain_Libpsl)->Unit(benchmark::kMillisecond);
#endif

void BM_NormalizeTypicalLink(benchmark::State& state) {
    const tolvane::DomainNormalizer normalizer(PublicSuffixList::embedded());
    const std::string link = "https://www.example.co.uk/articles/2024/some-story?ref=home&page=2";
    for (auto _ : state) benchmark::DoNotOptimize(normalizer.normalize(link));
}
BENCHMARK(BM_NormalizeTypicalLink);

void BM_NormalizeBareName(benchmark::State& state) {
    const tolvane::DomainNormalizer normalizer(PublicSuffixList::embedded());
    for (auto _ : state) benchmark::DoNotOptimize(normalizer.normalize("example.com"));
}
BENCHMARK(BM_NormalizeBareName);

void crossCheck() {
#if defined(TOLVANE_HAVE_LIBPSL)
    psl_ctx_t* context = libpsl();
    if (!context) return;
    const PublicSuffixList& list = PublicSuffixList::embedded();
    std::size_t registrable = 0, disagreements = 0;
    for (const std::string& host : hosts()) {
        const auto ours = list.registrableDomain(host);
        const char* theirs = psl_registrable_domain(context, host.c_str());
        registrable += ours.has_value();
        if (ours.has_value() != (theirs != nullptr) || (ours && *ours != theirs)) {
            if (++disagreements <= 5) {
                std::cerr << "disagreement on " << host << ": " << (ours ? std::string(*ours) : "-")
                          << " vs " << (theirs ? theirs : "-") << "\n";
            }
        }
    }
    std::cerr << hosts().size() << " hosts, " << registrable << " with a registrable domain, "
              << disagreements << " disagreements with libpsl\n";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    crossCheck();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
