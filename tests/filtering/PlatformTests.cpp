// The platform stand-ins: serial queues, directory watches, logging, the provider base class
// and the runtime that drives it.
#include <tolvane/platform/DirectoryWatch.hpp>
#include <tolvane/platform/FilterProvider.hpp>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SerialQueue.hpp>
#include <tolvane/platform/SystemExtension.hpp>

#include <gtest/gtest.h>

#include "TestSupport.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane::platform {
namespace {

using namespace std::chrono_literals;
using tolvane::testing::TemporaryDirectory;

// Collects what handlers report, for waiting on it from the test thread.
template <class T>
class Mailbox {
public:
    void post(T value) {
        std::scoped_lock lock(mutex_);
        items_.push_back(std::move(value));
        changed_.notify_all();
    }
    // Waits until at least `count` items arrived (or a generous time passed).
    std::vector<T> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return items_.size() >= count; });
        return items_;
    }
    std::vector<T> items() {
        std::scoped_lock lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// -- SerialQueue ----------------------------------------------------------------------------

TEST(SerialQueueConcurrency, RunsWorkInOrderOnOneThreadAndDrainsOnDestruction) {
    std::vector<int> order;
    std::set<std::thread::id> threads;
    {
        SerialQueue queue("com.tolvane.test.queue");
        EXPECT_EQ(queue.label(), "com.tolvane.test.queue");
        EXPECT_FALSE(queue.isCurrent());
        for (int i = 0; i < 1000; ++i) {
            queue.async([&, i] {
                order.push_back(i);
                threads.insert(std::this_thread::get_id());
            });
        }
        // Work queued by work still runs before the destructor returns.
        queue.async([&] { queue.async([&] { order.push_back(1000); }); });
    }
    ASSERT_EQ(order.size(), 1001u);
    for (int i = 0; i <= 1000; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
}

TEST(SerialQueueConcurrency, SyncWaitsForEarlierWorkAndRunsInlineOnItsOwnWorker) {
    SerialQueue queue("sync");
    std::atomic<int> done{0};
    queue.async([&] {
        std::this_thread::sleep_for(20ms);
        ++done;
    });
    bool onWorker = false;
    queue.sync([&] {
        onWorker = queue.isCurrent();
        queue.sync([&] { ++done; });  // would wait for itself forever if not inline
    });
    EXPECT_TRUE(onWorker);
    EXPECT_EQ(done.load(), 2);
}

TEST(SerialQueueConcurrency, ManyProducersLoseNothing) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("producers");
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&] {
                for (int i = 0; i < 500; ++i) queue.async([&] { ++count; });
            });
        }
        for (auto& t : producers) t.join();
    }
    EXPECT_EQ(count.load(), 2000);
}

// -- DirectoryWatch -------------------------------------------------------------------------

TEST(DirectoryWatchConcurrency, RefusesWhatIsNotADirectory) {
    TemporaryDirectory dir;
    SerialQueue queue("watch");
    EXPECT_EQ(DirectoryWatch::make(dir.path() / "missing", queue), nullptr);
    writeFile(dir.path() / "file", "x");
    EXPECT_EQ(DirectoryWatch::make(dir.path() / "file", queue), nullptr);
}

TEST(DirectoryWatchConcurrency, AtomicRenameIsDeliveredOnTheQueue) {
    TemporaryDirectory dir;
    SerialQueue queue("watch");
    Mailbox<DirectoryEvents> events;
    std::atomic<bool> offQueue{false};
    auto watch = DirectoryWatch::make(dir.path(), queue);
    ASSERT_NE(watch, nullptr);
    EXPECT_GE(watch->descriptor(), 0);
    watch->setEventHandler([&](const DirectoryEvents& e) {
        if (!queue.isCurrent()) offQueue = true;
        events.post(e);
    });
    watch->resume();
    writeFile(dir.path() / ".tmp", "{}");
    std::filesystem::rename(dir.path() / ".tmp", dir.path() / "file.json");
    auto seen = events.waitFor(1);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.front().entriesChanged);
    EXPECT_FALSE(seen.front().directoryDeleted);
    EXPECT_FALSE(offQueue);
}

TEST(DirectoryWatchConcurrency, CancelTwiceRunsTheCancelHandlerOnceAndStopsEvents) {
    TemporaryDirectory dir;
    SerialQueue queue("watch");
    std::atomic<int> eventsSeen{0}, cancels{0};
    std::atomic<bool> cancelOnQueue{false};
    auto watch = DirectoryWatch::make(dir.path(), queue);
    ASSERT_NE(watch, nullptr);
    watch->setEventHandler([&](const DirectoryEvents&) { ++eventsSeen; });
    watch->setCancelHandler([&] {
        ++cancels;
        cancelOnQueue = queue.isCurrent();
    });
    watch->resume();
    watch->cancel();
    watch->cancel();
    writeFile(dir.path() / "after", "x");
    std::this_thread::sleep_for(100ms);
    queue.sync([] {});
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_TRUE(cancelOnQueue);
    EXPECT_EQ(eventsSeen.load(), 0);
    EXPECT_EQ(watch->descriptor(), -1);
    watch.reset();  // the destructor cancels again, harmlessly
    queue.sync([] {});
    EXPECT_EQ(cancels.load(), 1);
}

TEST(DirectoryWatchConcurrency, CancelFromTheEventHandlerAndUnresumedWatches) {
    TemporaryDirectory dir;
    SerialQueue queue("watch");
    std::atomic<int> cancels{0};
    auto unresumed = DirectoryWatch::make(dir.path(), queue);
    ASSERT_NE(unresumed, nullptr);
    unresumed->setCancelHandler([&] { ++cancels; });
    unresumed.reset();

    Mailbox<int> handled;
    auto watch = DirectoryWatch::make(dir.path(), queue);
    DirectoryWatch* raw = watch.get();
    watch->setEventHandler([&](const DirectoryEvents&) {
        raw->cancel();
        handled.post(1);
    });
    watch->setCancelHandler([&] { ++cancels; });
    watch->resume();
    writeFile(dir.path() / "a", "x");
    EXPECT_EQ(handled.waitFor(1).size(), 1u);
    writeFile(dir.path() / "b", "x");
    std::this_thread::sleep_for(100ms);
    queue.sync([] {});
    EXPECT_EQ(handled.items().size(), 1u);
    EXPECT_EQ(cancels.load(), 2);
}

TEST(DirectoryWatchConcurrency, DeletedDirectoryEndsTheWatch) {
    TemporaryDirectory dir;
    auto watched = dir.path() / "watched";
    std::filesystem::create_directory(watched);
    SerialQueue queue("watch");
    Mailbox<DirectoryEvents> events;
    auto watch = DirectoryWatch::make(watched, queue);
    ASSERT_NE(watch, nullptr);
    watch->setEventHandler([&](const DirectoryEvents& e) { events.post(e); });
    watch->resume();
    std::filesystem::remove(watched);
    auto seen = events.waitFor(1);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().directoryDeleted);
    // A directory made anew at the same path is a different object: not watched.
    std::size_t before = events.items().size();
    std::filesystem::create_directory(watched);
    writeFile(watched / "file", "x");
    std::this_thread::sleep_for(150ms);
    queue.sync([] {});
    EXPECT_EQ(events.items().size(), before);
}

TEST(DirectoryWatchConcurrency, MovedDirectoryIsStillWatchedWhereItWent) {
    TemporaryDirectory dir;
    std::filesystem::create_directory(dir.path() / "a");
    SerialQueue queue("watch");
    Mailbox<DirectoryEvents> events;
    auto watch = DirectoryWatch::make(dir.path() / "a", queue);
    ASSERT_NE(watch, nullptr);
    watch->setEventHandler([&](const DirectoryEvents& e) { events.post(e); });
    watch->resume();
    std::filesystem::rename(dir.path() / "a", dir.path() / "b");
    auto first = events.waitFor(1);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first.front().directoryMoved);
    std::size_t before = events.items().size();
    writeFile(dir.path() / "b" / "file", "x");
    EXPECT_GT(events.waitFor(before + 1).size(), before);
}

// -- Logger ---------------------------------------------------------------------------------

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { Logger::setShowsPrivateData(std::nullopt); }
};

TEST_F(LoggerTest, PrivateArgumentsAreHiddenUnlessShown) {
    Logger log("com.tolvane.test.filter", "enforcement");
    std::string counters = "scopeGeneration=2 classified=0";
    Logger::setShowsPrivateData(false);
    {
        LogCapture capture;
        log.notice("adopted directive %s", Private(counters));
        log.error("enforcement degraded: %{public}s", Public(std::string_view("failedOpen")));
        log.notice("filter stopped, reason %ld %s", Public(1L), Private(counters));
        auto records = capture.records();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].message, "adopted directive <private>");
        EXPECT_EQ(records[0].level, LogLevel::defaultLevel);
        EXPECT_EQ(records[1].message, "enforcement degraded: failedOpen");
        EXPECT_EQ(records[1].level, LogLevel::error);
        EXPECT_EQ(records[2].message, "filter stopped, reason 1 <private>");
        EXPECT_EQ(records[2].subsystem, "com.tolvane.test.filter");
        EXPECT_EQ(records[2].category, "enforcement");
    }
    Logger::setShowsPrivateData(true);
    LogCapture capture;
    log.notice("adopted directive %s", Private(counters));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"adopted directive " + counters});
}

TEST_F(LoggerTest, FormatsNumbersPercentAndLineBreaks) {
    Logger log("s", "c");
    LogCapture capture;
    unsigned long long big = 18446744073709551615ull;
    log.notice("%d%% of %llu, %.2f, %5s|%x, %{private}d", Public(50), Public(big), Public(0.125),
               Public("ab"), Public(255), Private(7));
    log.error("two\nlines");
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "50% of 18446744073709551615, 0.12, " "   ab|ff, <private>");
    EXPECT_EQ(records[1].message, "two\nlines");
    std::string line = records[1].line();
    EXPECT_NE(line.find(" error [s:c] two\\nlines"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], 'T');
}

TEST_F(LoggerTest, LinesFromManyThreadsArriveWhole) {
    Logger log("s", "c");
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) log.notice("thread %d line %d", Public(t), Public(i));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(capture.records().size(), 800u);
}

// -- Verdicts, settings and stop reasons ----------------------------------------------------

TEST(FilterVocabulary, VerdictsCarryTheirFieldsAndDescribeThemselves) {
    auto held = NewFlowVerdict::filterDataVerdict(false, 0, true, 4096);
    EXPECT_EQ(held.kind(), NewFlowVerdict::Kind::filterData);
    EXPECT_EQ(held.peekOutboundBytes(), 4096u);
    EXPECT_NE(held, NewFlowVerdict::filterDataVerdict(false, 0, true, 4095));
    EXPECT_NE(NewFlowVerdict::allowVerdict(), NewFlowVerdict::dropVerdict());
    EXPECT_EQ(held.description(),
              "filterDataVerdict(filterInbound: false, peekInboundBytes: 0, filterOutbound: true, "
              "peekOutboundBytes: 4096)");
    EXPECT_EQ(DataVerdict::dataVerdict(1000, 4096).description(),
              "dataVerdict(passBytes: 1000, peekBytes: 4096)");
    EXPECT_EQ(DataVerdict::dropVerdict().description(), "dropVerdict");
    EXPECT_EQ(rawValue(FilterAction::filterData), 4);
    EXPECT_EQ(fromRawValue<FilterAction>(5), std::nullopt);
    for (FilterStopReason reason : allFilterStopReasonCases) {
        EXPECT_EQ(fromRawValue<FilterStopReason>(rawValue(reason)), reason);
    }
    EXPECT_EQ(rawValue(FilterStopReason::appUpdate), 14);
    EXPECT_EQ(FilterSettings({}, FilterAction::filterData).description(),
              "FilterSettings(rules: 0, defaultAction: filterData)");
}

// -- Provider base class and runtime --------------------------------------------------------

// Starts by applying settings, as a real provider does; holds flows named "held".
class RecordingProvider : public FilterDataProviderBase {
public:
    std::vector<std::string> calls;
    std::mutex mutex;

    void startFilter(StartCompletion completion) override {
        applySettings(FilterSettings({}, FilterAction::filterData),
                      [completion](std::optional<Error> error) { completion(std::move(error)); });
    }
    void stopFilter(FilterStopReason reason, StopCompletion completion) override {
        record("stop " + std::string(caseName(reason)));
        std::thread([completion] { completion(); }).detach();
    }
    NewFlowVerdict handleNewFlow(const FilterFlow& flow) override {
        auto* socket = dynamic_cast<const FilterSocketFlow*>(&flow);
        bool held = socket && socket->remoteHostname == "held";
        return held ? NewFlowVerdict::filterDataVerdict(false, 0, true, 4096)
                    : NewFlowVerdict::allowVerdict();
    }
    DataVerdict handleOutboundData(const FilterFlow&, std::size_t offset,
                                   std::span<const std::byte> bytes) override {
        std::size_t seen = offset + bytes.size();
        return seen >= 4096 ? DataVerdict::allowVerdict() : DataVerdict::dataVerdict(seen, 4096);
    }
    void record(std::string call) {
        std::scoped_lock lock(mutex);
        calls.push_back(std::move(call));
    }
};

std::shared_ptr<FilterSocketFlow> socketFlow(std::uint64_t id, std::string host) {
    auto flow = std::make_shared<FilterSocketFlow>();
    flow->identifier = id;
    flow->remoteHostname = std::move(host);
    return flow;
}

TEST(FilterRuntimeConcurrency, SettingsFailureReachesTheStartAndIsNotRecorded) {
    auto runtime = startSystemExtensionMode([] { return std::make_shared<RecordingProvider>(); });
    Error denied{"tolvane.platform.filter", 5, "permission denied"};
    runtime->provider().setSettingsApplier([&](const auto&, auto completion) {
        std::thread([=] { completion(denied); }).detach();
    });
    EXPECT_EQ(runtime->startFilter(), denied);
    EXPECT_FALSE(runtime->isFilterRunning());
    EXPECT_EQ(runtime->provider().appliedSettings(), std::nullopt);

    runtime->provider().setSettingsApplier(nullptr);
    EXPECT_EQ(runtime->startFilter(), std::nullopt);
    EXPECT_TRUE(runtime->isFilterRunning());
    EXPECT_EQ(runtime->provider().appliedSettings(), FilterSettings({}, FilterAction::filterData));
    runtime->stopFilter(FilterStopReason::userInitiated);
    EXPECT_FALSE(runtime->isFilterRunning());
    auto& provider = static_cast<RecordingProvider&>(runtime->provider());
    EXPECT_EQ(provider.calls, std::vector<std::string>{"stop userInitiated"});
}

TEST(FilterRuntimeConcurrency, SettingsCompletionMayOutliveTheProvider) {
    std::function<void(std::optional<Error>)> late;
    std::atomic<bool> called{false};
    {
        auto provider = std::make_shared<RecordingProvider>();
        provider->setSettingsApplier([&](const auto&, auto completion) { late = completion; });
        std::weak_ptr<FilterDataProviderBase> weak = provider->weak_from_this();
        provider->applySettings(std::nullopt, [weak, &called](std::optional<Error>) {
            called = weak.expired();
        });
    }
    std::thread([&] { late(std::nullopt); }).join();
    EXPECT_TRUE(called);
}

TEST(FilterRuntimeConcurrency, OnlyHeldFlowsReceiveDataUntilReleased) {
    auto runtime = startSystemExtensionMode([] { return std::make_shared<RecordingProvider>(); });
    EXPECT_EQ(runtime->handleNewFlow(socketFlow(1, "open")), NewFlowVerdict::allowVerdict());
    EXPECT_EQ(runtime->handleOutboundData(1, 0, 10), std::nullopt);
    EXPECT_EQ(runtime->handleNewFlow(socketFlow(2, "held")).kind(),
              NewFlowVerdict::Kind::filterData);
    EXPECT_EQ(runtime->heldFlowCount(), 1u);
    EXPECT_EQ(runtime->handleOutboundData(2, 0, 1000), DataVerdict::dataVerdict(1000, 4096));
    EXPECT_EQ(runtime->handleOutboundData(2, 1000, 100000), DataVerdict::allowVerdict());
    EXPECT_EQ(runtime->heldFlowCount(), 0u);
    EXPECT_EQ(runtime->handleOutboundDataComplete(2), std::nullopt);
}

TEST(FilterRuntimeConcurrency, ParkedMainThreadWakesOnRequestedExit) {
    auto runtime = startSystemExtensionMode([] { return std::make_shared<RecordingProvider>(); });
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        runtime->requestExit(3);
        runtime->requestExit(4);  // the first code stands
    });
    EXPECT_EQ(runtime->parkMainThread(), 3);
    other.join();
}

}  // namespace
}  // namespace tolvane::platform
