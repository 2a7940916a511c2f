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
        SerialQueue queue("queue");
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
        made->setEventHandler([this](const DirectoryEvents& e) {
            if (!queue.isCurrent()) offQueue = true;
            events.push_back(e);
        });
        return made;
    }
    std::vector<DirectoryEvents> seen() {
        std::vector<DirectoryEvents> copy;
        queue.sync([&] { copy = events; });
        return copy;
    }

    tolvane::testing::TemporaryDirectory dir;
    std::vector<DirectoryEvents> events;  // touched only on the queue
    std::atomic<bool> offQueue{false};
    SerialQueue queue{"watch"};  // last, so it drains before the rest goes
};

// A deleted directory ending the watch, and a missing one refused, are the directive
// watcher's tests, through the same watch.
TEST_F(DirectoryWatchConcurrency, DeliversOnTheQueueAndFollowsTheMovedDirectory) {
    std::filesystem::create_directory(dir.path() / "a");
    auto w = watch(dir.path() / "a");
    w->resume();
    writeFile(dir.path() / "a" / "file.json");
    ASSERT_TRUE(eventually([&] { return !seen().empty(); }));
    EXPECT_TRUE(seen().front().entriesChanged);
    std::filesystem::rename(dir.path() / "a", dir.path() / "b");
    ASSERT_TRUE(eventually([&] { return seen().back().directoryMoved; }));
    const std::size_t before = seen().size();
    writeFile(dir.path() / "b" / "file");
    EXPECT_TRUE(eventually([&] { return seen().size() > before; }));
    EXPECT_FALSE(offQueue);
}

// Cancelled twice, from its own handler, by its destructor or never resumed: the cancel
// handler runs once, on the queue, and no event follows.
TEST_F(DirectoryWatchConcurrency, CancelRunsTheCancelHandlerOnceAndStopsEvents) {
    std::atomic<int> cancels{0};
    std::atomic<bool> cancelOffQueue{false};
    const auto countCancels = [&](DirectoryWatch& w) {
        w.setCancelHandler([&] {
            ++cancels;
            if (!queue.isCurrent()) cancelOffQueue = true;
        });
    };
    countCancels(*DirectoryWatch::make(dir.path(), queue));  // never resumed, destroyed
    auto w = watch(dir.path());
    countCancels(*w);
    w->resume();
    w->cancel();
    w->cancel();
    writeFile(dir.path() / "after");
    queue.sync([] {});  // cancel() has stopped the reading, so nothing can still be on its way
    EXPECT_TRUE(seen().empty());
    w.reset();  // the destructor cancels again, harmlessly

    w = DirectoryWatch::make(dir.path(), queue);
    w->setEventHandler([&, raw = w.get()](const DirectoryEvents& e) {
        raw->cancel();
        events.push_back(e);
    });
    countCancels(*w);
    w->resume();
    writeFile(dir.path() / "a");
    ASSERT_TRUE(eventually([&] { return !seen().empty(); }));
    writeFile(dir.path() / "b");
    queue.sync([] {});
    EXPECT_EQ(seen().size(), 1u);
    EXPECT_EQ(cancels.load(), 3);
    EXPECT_FALSE(cancelOffQueue);
}

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { Logger::setShowsPrivateData(std::nullopt); }
};

// Private arguments hide unless shown; a line break cannot split a record's line. The
// provider's own messages are checked by the filter host's tests.
TEST_F(LoggerTest, HidesPrivateArgumentsAndKeepsEachRecordOnOneLine) {
    Logger log("s", "c");
    LogCapture capture;
    log.notice("%d%% %{private}d %{public}s", Public(50), Private(7), Public("shown"));
    Logger::setShowsPrivateData(true);
    log.error("two\nlines %s", Private(std::string("seen")));
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "50% <private> shown");
    EXPECT_EQ(records[1].message, "two\nlines seen");
    EXPECT_EQ(records[1].line().find('\n'), std::string::npos);
}

// Starts by applying settings, as a real provider does; holds flows named "held".
class RecordingProvider : public FilterDataProviderBase {
public:
    int newFlows = 0;
    // Outbound data as handed over: offset and size.
    std::vector<std::pair<std::size_t, std::size_t>> reads;

    void startFilter(StartCompletion completion) override {
        applySettings(FilterSettings({}, FilterAction::filterData),
                      [completion](std::optional<Error> error) { completion(std::move(error)); });
    }
    void stopFilter(FilterStopReason, StopCompletion completion) override {
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

// That the error reaches the start is also the filter host's test; here the runtime's state.
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
    runtime->stopFilter(FilterStopReason::userInitiated);  // its completion comes from elsewhere
    EXPECT_FALSE(runtime->isFilterRunning());
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

// A length is counted, never built: the provider gets the range's last bytes at their
// offset, however long the range, and nothing at all for a flow that is not held.
TEST(FilterRuntimeConcurrency, CountedDataEndsWhereTheRangeEndsWithoutBeingBuilt) {
    auto runtime = startRecording();
    constexpr std::size_t huge = 9223372036854775807u;
    EXPECT_EQ(runtime->handleNewFlow(socketFlow(4, "open")), NewFlowVerdict::allowVerdict());
    EXPECT_EQ(runtime->handleOutboundData(4, 0, huge), std::nullopt);
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
    EXPECT_EQ(runtime->heldFlowCount(), 1u);
    EXPECT_EQ(runtime->handleOutboundDataComplete(1), std::nullopt);
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
            for (int i = 0; i < 3; ++i) runtime->handleOutboundDataComplete(t * 3 + i);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(runtime->heldFlowCount(), 0u);
    EXPECT_EQ(holding->held, 0);
}

TEST(FilterRuntimeConcurrency, ParkedMainThreadWakesOnRequestedExit) {
    auto runtime = startRecording();
    std::thread other([&] {
        runtime->requestExit(3);
        runtime->requestExit(4);  // the first code stands
    });
    EXPECT_EQ(runtime->parkMainThread(), 3);
    other.join();
}

}  // namespace
}  // namespace tolvane::platform
