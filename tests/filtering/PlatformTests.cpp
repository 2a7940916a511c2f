// The platform stand-ins: serial queues, directory watches, logging, the provider base class
// and the runtime that drives it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <limits>
#include <set>
#include <thread>
#include <tolvane/platform/DirectoryWatch.hpp>
#include <tolvane/platform/FilterProvider.hpp>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SerialQueue.hpp>
#include <tolvane/platform/SystemExtension.hpp>
#include <vector>

#include "LogCapture.hpp"
#include "TestSupport.hpp"

namespace tolvane::platform {
namespace {

using namespace std::chrono_literals;
using tolvane::testing::LogCapture;

// Polls `done` until it holds or a minute has passed (sanitizer builds on a loaded machine).
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 12000 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
}

void writeFile(const std::filesystem::path& path) {
    std::ofstream(path) << "x";
}

// Four producers: each one's work runs in its order, all of it on one thread, none lost, and
// work queued by work still runs before the destructor returns.
TEST(SerialQueueConcurrency, RunsEachProducersWorkInOrderOnOneThreadAndDrainsOnDestruction) {
    std::vector<std::vector<int>> order(5);
    std::set<std::thread::id> threads;
    {
        SerialQueue queue("com.tolvane.test.queue");
        EXPECT_EQ(queue.label(), "com.tolvane.test.queue");
        EXPECT_FALSE(queue.isCurrent());
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < 500; ++i) {
                    queue.async([&, p, i] {
                        order[p].push_back(i);
                        threads.insert(std::this_thread::get_id());
                    });
                }
            });
        }
        for (auto& t : producers) t.join();
        queue.async([&] { queue.async([&] { order[4].push_back(0); }); });
    }
    for (int p = 0; p < 4; ++p) {
        ASSERT_EQ(order[p].size(), 500u);
        for (int i = 0; i < 500; ++i) EXPECT_EQ(order[p][i], i);
    }
    EXPECT_EQ(order[4].size(), 1u);
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

class DirectoryWatchConcurrency : public ::testing::Test {
protected:
    // A suspended watch on `path` whose handler keeps the events (on the queue).
    std::unique_ptr<DirectoryWatch> watch(const std::filesystem::path& path) {
        auto made = DirectoryWatch::make(path, queue);
        if (made) {
            made->setEventHandler([this](const DirectoryEvents& e) {
                if (!queue.isCurrent()) offQueue = true;
                events.push_back(e);
            });
        }
        return made;
    }
    std::vector<DirectoryEvents> seen() {
        std::vector<DirectoryEvents> copy;
        queue.sync([&] { copy = events; });
        return copy;
    }
    // Runs the queue dry: every event the watch has read by now has been handled.
    void drain() {
        queue.sync([] {});
    }

    tolvane::testing::TemporaryDirectory dir;
    std::vector<DirectoryEvents> events;  // touched only on the queue
    std::atomic<bool> offQueue{false};
    SerialQueue queue{"watch"};  // last, so it drains before the rest goes
};

TEST_F(DirectoryWatchConcurrency, RefusesWhatIsNotADirectory) {
    writeFile(dir.path() / "file");
    EXPECT_EQ(DirectoryWatch::make(dir.path() / "missing", queue), nullptr);
    EXPECT_EQ(DirectoryWatch::make(dir.path() / "file", queue), nullptr);
}

TEST_F(DirectoryWatchConcurrency, DeliversRenamesOnTheQueueAndFollowsTheMovedDirectory) {
    std::filesystem::create_directory(dir.path() / "a");
    auto w = watch(dir.path() / "a");
    ASSERT_NE(w, nullptr);
    EXPECT_GE(w->descriptor(), 0);
    w->resume();
    writeFile(dir.path() / "a" / ".tmp");
    std::filesystem::rename(dir.path() / "a" / ".tmp", dir.path() / "a" / "file.json");
    ASSERT_TRUE(eventually([&] { return !seen().empty(); }));
    EXPECT_TRUE(seen().front().entriesChanged);
    EXPECT_FALSE(seen().front().directoryDeleted);

    std::filesystem::rename(dir.path() / "a", dir.path() / "b");
    ASSERT_TRUE(eventually([&] { return seen().back().directoryMoved; }));
    const std::size_t before = seen().size();
    writeFile(dir.path() / "b" / "file");
    EXPECT_TRUE(eventually([&] { return seen().size() > before; }));
    EXPECT_FALSE(offQueue);
}

TEST_F(DirectoryWatchConcurrency, CancelTwiceRunsTheCancelHandlerOnceAndStopsEvents) {
    std::atomic<int> cancels{0};
    std::atomic<bool> cancelOnQueue{false};
    auto w = watch(dir.path());
    ASSERT_NE(w, nullptr);
    w->setCancelHandler([&] {
        ++cancels;
        cancelOnQueue = queue.isCurrent();
    });
    w->resume();
    w->cancel();
    w->cancel();
    writeFile(dir.path() / "after");
    drain();  // cancel() has stopped the reading, so nothing can still be on its way
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_TRUE(cancelOnQueue);
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(w->descriptor(), -1);
    w.reset();  // the destructor cancels again, harmlessly
    queue.sync([] {});
    EXPECT_EQ(cancels.load(), 1);
}

TEST_F(DirectoryWatchConcurrency, CancelFromTheEventHandlerAndUnresumedWatches) {
    std::atomic<int> cancels{0};
    auto unresumed = DirectoryWatch::make(dir.path(), queue);
    ASSERT_NE(unresumed, nullptr);
    unresumed->setCancelHandler([&] { ++cancels; });
    unresumed.reset();

    auto w = DirectoryWatch::make(dir.path(), queue);
    w->setEventHandler([&, raw = w.get()](const DirectoryEvents& e) {
        raw->cancel();
        events.push_back(e);
    });
    w->setCancelHandler([&] { ++cancels; });
    w->resume();
    writeFile(dir.path() / "a");
    ASSERT_TRUE(eventually([&] { return !seen().empty(); }));
    writeFile(dir.path() / "b");
    drain();
    EXPECT_EQ(seen().size(), 1u);
    EXPECT_EQ(cancels.load(), 2);
}

TEST_F(DirectoryWatchConcurrency, DeletedDirectoryEndsTheWatch) {
    auto watched = dir.path() / "watched";
    std::filesystem::create_directory(watched);
    auto w = watch(watched);
    ASSERT_NE(w, nullptr);
    w->resume();
    std::filesystem::remove(watched);
    ASSERT_TRUE(eventually([&] { return !seen().empty() && seen().back().directoryDeleted; }));
    // That a directory made anew at the same path is not watched is the directive watcher's
    // test, through the same watch.
}

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { Logger::setShowsPrivateData(std::nullopt); }
};

// Private arguments in the provider's own messages, shown and hidden, are checked by the
// filter host's tests.
TEST_F(LoggerTest, FormatsNumbersPercentPrivacyAndLineBreaks) {
    Logger log("s", "c");
    LogCapture capture;
    log.notice("%d%% of %llu, %.2f, %5s|%x, %{private}d %{public}s", Public(50),
               Public(18446744073709551615ull), Public(0.125), Public("ab"), Public(255),
               Private(7), Public(std::string_view("shown")));
    Logger::setShowsPrivateData(true);
    log.error("two\nlines %s", Private(std::string("seen")));
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "50% of 18446744073709551615, 0.12,    ab|ff, <private> shown");
    EXPECT_EQ(records[0].level, LogLevel::defaultLevel);
    EXPECT_EQ(records[1].message, "two\nlines seen");
    EXPECT_EQ(records[1].level, LogLevel::error);
    const std::string line = records[1].line();
    EXPECT_NE(line.find(" error [s:c] two\\nlines seen"), std::string::npos) << line;
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

// Starts by applying settings, as a real provider does; holds flows named "held".
class RecordingProvider : public FilterDataProviderBase {
public:
    std::vector<std::string> calls;
    int newFlows = 0;
    // Outbound data as handed over: offset and size.
    std::vector<std::pair<std::size_t, std::size_t>> reads;

    void startFilter(StartCompletion completion) override {
        applySettings(FilterSettings({}, FilterAction::filterData),
                      [completion](std::optional<Error> error) { completion(std::move(error)); });
    }
    void stopFilter(FilterStopReason reason, StopCompletion completion) override {
        calls.push_back("stop " + std::string(caseName(reason)));
        std::thread([completion] { completion(); }).detach();
    }
    NewFlowVerdict handleNewFlow(const FilterFlow& flow) override {
        ++newFlows;
        auto* socket = dynamic_cast<const FilterSocketFlow*>(&flow);
        return socket && socket->remoteHostname == "held"
                   ? NewFlowVerdict::filterDataVerdict(false, 0, true, 4096)
                   : NewFlowVerdict::allowVerdict();
    }
    DataVerdict handleOutboundData(const FilterFlow&, std::size_t offset,
                                   std::span<const std::byte> bytes) override {
        reads.emplace_back(offset, bytes.size());
        std::size_t seen = offset + bytes.size();
        return seen >= 4096 ? DataVerdict::allowVerdict() : DataVerdict::dataVerdict(seen, 4096);
    }
};

std::unique_ptr<SystemExtensionRuntime> startRecording(
    std::size_t maximumHeldFlows = SystemExtensionRuntime::defaultMaximumHeldFlows) {
    return std::make_unique<SystemExtensionRuntime>(
        [] { return std::make_shared<RecordingProvider>(); }, maximumHeldFlows);
}

RecordingProvider& recorder(const SystemExtensionRuntime& runtime) {
    return static_cast<RecordingProvider&>(runtime.provider());
}

std::shared_ptr<FilterSocketFlow> socketFlow(std::uint64_t id, std::string host) {
    auto flow = std::make_shared<FilterSocketFlow>();
    flow->identifier = id;
    flow->remoteHostname = std::move(host);
    return flow;
}

TEST(FilterRuntimeConcurrency, SettingsFailureReachesTheStartAndIsNotRecorded) {
    auto runtime = startRecording();
    Error denied{"tolvane.platform.filter", 5, "permission denied"};
    runtime->provider().setSettingsApplier(
        [&](const auto&, auto completion) { std::thread([=] { completion(denied); }).detach(); });
    EXPECT_EQ(runtime->startFilter(), denied);
    EXPECT_FALSE(runtime->isFilterRunning());
    EXPECT_EQ(runtime->provider().appliedSettings(), std::nullopt);

    runtime->provider().setSettingsApplier(nullptr);
    EXPECT_EQ(runtime->startFilter(), std::nullopt);
    EXPECT_TRUE(runtime->isFilterRunning());
    EXPECT_EQ(runtime->provider().appliedSettings(), FilterSettings({}, FilterAction::filterData));
    runtime->stopFilter(FilterStopReason::userInitiated);
    EXPECT_FALSE(runtime->isFilterRunning());
    EXPECT_EQ(static_cast<RecordingProvider&>(runtime->provider()).calls,
              std::vector<std::string>{"stop userInitiated"});
}

TEST(FilterRuntimeConcurrency, SettingsCompletionMayOutliveTheProvider) {
    std::function<void(std::optional<Error>)> late;
    std::atomic<bool> called{false};
    {
        auto provider = std::make_shared<RecordingProvider>();
        provider->setSettingsApplier([&](const auto&, auto completion) { late = completion; });
        std::weak_ptr<FilterDataProviderBase> weak = provider->weak_from_this();
        provider->applySettings(std::nullopt,
                                [weak, &called](std::optional<Error>) { called = weak.expired(); });
    }
    std::thread([&] { late(std::nullopt); }).join();
    EXPECT_TRUE(called);
}

TEST(FilterRuntimeConcurrency, OnlyHeldFlowsReceiveDataUntilReleased) {
    auto runtime = startRecording();
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

// A length is counted, never built: the provider gets the range's last bytes at their
// offset, however long the range, and nothing at all for a flow that is not held.
TEST(FilterRuntimeConcurrency, CountedDataEndsWhereTheRangeEndsWithoutBeingBuilt) {
    auto runtime = startRecording();
    constexpr std::size_t huge = 9223372036854775807u;
    EXPECT_EQ(runtime->handleOutboundData(5, 0, huge), std::nullopt);
    runtime->handleNewFlow(socketFlow(5, "held"));
    EXPECT_EQ(runtime->handleOutboundData(5, 10, 100), DataVerdict::dataVerdict(110, 4096));
    EXPECT_EQ(runtime->handleOutboundData(5, 110, huge - 110), DataVerdict::allowVerdict());
    const std::size_t window = SystemExtensionRuntime::maximumReadBytes;
    using Read = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(recorder(*runtime).reads, (std::vector<Read>{{10, 100}, {huge - window, window}}));
    runtime->handleNewFlow(socketFlow(6, "held"));
    EXPECT_THROW(runtime->handleOutboundData(6, 1, std::numeric_limits<std::size_t>::max()),
                 std::invalid_argument);
}

// The runtime is the one keeper of held flows: a new flow under a held identifier, or past
// the bound, never reaches the provider, and the held flow carries on as it was.
TEST(FilterRuntimeConcurrency, RefusesAHeldIdentifierAndFlowsPastTheBound) {
    auto runtime = startRecording(2);
    runtime->handleNewFlow(socketFlow(1, "held"));
    EXPECT_THROW(runtime->handleNewFlow(socketFlow(1, "open")), FlowRefusedError);
    runtime->handleNewFlow(socketFlow(2, "held"));
    EXPECT_THROW(runtime->handleNewFlow(socketFlow(3, "held")), FlowRefusedError);
    EXPECT_EQ(runtime->heldFlowCount(), 2u);
    EXPECT_EQ(recorder(*runtime).newFlows, 2);
    EXPECT_EQ(runtime->handleOutboundData(1, 0, 10), DataVerdict::dataVerdict(10, 4096));
    EXPECT_EQ(runtime->handleOutboundData(1, 10, 5000), DataVerdict::allowVerdict());
    // Ended, the identifier may start a flow again, and there is room once more.
    EXPECT_EQ(runtime->handleNewFlow(socketFlow(1, "open")), NewFlowVerdict::allowVerdict());
    EXPECT_EQ(runtime->handleNewFlow(socketFlow(3, "held")).kind(),
              NewFlowVerdict::Kind::filterData);
}

// Threads starting, learning about and ending flows at once, each under its own few
// identifiers: every flow the provider holds is ended exactly once, nothing is left held.
TEST(FilterRuntimeConcurrency, ConcurrentFlowsUnderFewIdentifiersLeaveNothingHeld) {
    struct Holding : FilterDataProviderBase {
        std::atomic<int> held{0};
        NewFlowVerdict handleNewFlow(const FilterFlow&) override {
            ++held;
            return NewFlowVerdict::filterDataVerdict(false, 0, true, 4096);
        }
        DataVerdict handleOutboundDataComplete(const FilterFlow&) override {
            --held;
            return DataVerdict::allowVerdict();
        }
    };
    auto holding = std::make_shared<Holding>();
    auto runtime = startSystemExtensionMode([&] { return holding; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const auto id = static_cast<std::uint64_t>(t * 3 + i % 3);
                try {
                    runtime->handleNewFlow(socketFlow(id, "x"));
                } catch (const FlowRefusedError&) {
                }
                runtime->learnAboutHeldFlow(id, [](FilterFlow&) {});
                if (i % 2) runtime->handleOutboundDataComplete(id);
            }
            for (std::uint64_t id = t * 3u; id < t * 3u + 3; ++id) {
                runtime->handleOutboundDataComplete(id);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(runtime->heldFlowCount(), 0u);
    EXPECT_EQ(holding->held, 0);
}

TEST(FilterRuntimeConcurrency, ParkedMainThreadWakesOnRequestedExit) {
    auto runtime = startRecording();
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
