// DirectiveLatencyBench: how long after publish() returns the watcher's directive handler
// runs with the new directive, through a real file, inotify and the directive queue.
// Reports the median and 99th percentile over a few hundred publications (median_ms,
// p99_ms), how long publish() itself took (publish_median_ms: two fsyncs and a rename), and
// the delay counted from the call of publish() instead (from_call_median_ms, from_call_p99_ms).
// The handler often runs before publish() returns, while the directory is being flushed
// after the rename; such a delivery counts as 0.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <tolvane/EnforcementDirectiveWatcher.hpp>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void BM_PublishToDirectiveHandler(benchmark::State& state) {
    using namespace tolvane;
    // Argument 0: the temporary directory (a disk here); 1: /dev/shm, a memory file system,
    // where the flushes cost nothing and publish() returns right after its rename.
    std::filesystem::path base = state.range(0) == 1 ? std::filesystem::path("/dev/shm")
                                                     : std::filesystem::temp_directory_path();
    std::string pattern = (base / "tolvane-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        state.SkipWithError("cannot make a temporary directory");
        return;
    }
    const std::filesystem::path root = pattern;
    FileEnforcementDirectiveStore store(root / "Tolvane");
    store.publish(EnforcementDirective::idle(0));

    std::mutex mutex;
    std::condition_variable seen;
    Instant awaited = 0;
    std::optional<Clock::time_point> seenAt;
    {
        platform::SerialQueue queue("com.tolvane.bench.filter.directive");
        EnforcementDirectiveWatcher watcher(
            store, queue, [](const EnforcementHealthStatus&) {},
            [&](const EnforcementDirective& directive) {
                auto now = Clock::now();
                std::scoped_lock lock(mutex);
                if (directive.publishedAt() == awaited && !seenAt) {
                    seenAt = now;
                    seen.notify_all();
                }
            });
        watcher.start();

        std::vector<double> latencies, publishTimes, fromCall;
        Instant next = 0;
        for (auto _ : state) {
            {
                std::scoped_lock lock(mutex);
                awaited = ++next;
                seenAt.reset();
            }
            auto before = Clock::now();
            store.publish(EnforcementDirective(
                Scope(static_cast<std::int64_t>(next), {*Domain::make("example.com")}),
                std::nullopt, next));
            auto published = Clock::now();
            std::unique_lock lock(mutex);
            if (!seen.wait_for(lock, std::chrono::seconds(5), [&] { return seenAt.has_value(); })) {
                state.SkipWithError("the directive was never delivered");
                break;
            }
            // A handler that ran before publish() returned (after the rename, during the
            // directory flush) counts as no delay at all.
            double latency =
                std::max(0.0, std::chrono::duration<double>(*seenAt - published).count());
            state.SetIterationTime(latency);
            latencies.push_back(latency * 1e3);
            publishTimes.push_back(std::chrono::duration<double>(published - before).count() * 1e3);
            fromCall.push_back(std::chrono::duration<double>(*seenAt - before).count() * 1e3);
        }
        state.counters["median_ms"] = percentile(latencies, 0.5);
        state.counters["p99_ms"] = percentile(latencies, 0.99);
        state.counters["max_ms"] = percentile(latencies, 1.0);
        state.counters["publish_median_ms"] = percentile(publishTimes, 0.5);
        state.counters["from_call_median_ms"] = percentile(fromCall, 0.5);
        state.counters["from_call_p99_ms"] = percentile(fromCall, 0.99);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

BENCHMARK(BM_PublishToDirectiveHandler)
    ->ArgName("inMemoryFileSystem")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(400)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
