// The directive watcher on real files, real inotify and real threads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <tolvane/EnforcementDirectiveWatcher.hpp>
#include <variant>

#include "TestSupport.hpp"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

EnforcementDirective enforcing(std::int64_t generation, Instant publishedAt) {
    return EnforcementDirective(Scope(generation, {*Domain::make("example.com")}), std::nullopt,
                                publishedAt);
}

const auto healthy = EnforcementHealthStatus::healthy();
const auto recovering = EnforcementHealthStatus::degraded(DegradedReason::recoveringFromCorruption);
const auto failedOpen = EnforcementHealthStatus::degraded(DegradedReason::failedOpen);

// What the handlers were called with, in order, and on which thread last.
using Delivery = std::variant<EnforcementDirective, EnforcementHealthStatus>;
using Deliveries = std::vector<Delivery>;

class Recorder {
public:
    void record(Delivery delivery) {
        std::scoped_lock lock(mutex_);
        deliveries_.push_back(std::move(delivery));
        thread_ = std::this_thread::get_id();
        changed_.notify_all();
    }
    // Waits (generously) until `done` holds for the deliveries; returns them.
    Deliveries waitUntil(const std::function<bool(const Deliveries&)>& done) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return done(deliveries_); });
        return deliveries_;
    }
    Deliveries deliveries() {
        return waitUntil([](const auto&) { return true; });
    }
    Deliveries waitForLast(const Delivery& last) {
        return waitUntil([&](const auto& d) { return !d.empty() && d.back() == last; });
    }
    std::thread::id thread() {
        std::scoped_lock lock(mutex_);
        return thread_;
    }
    void clear() {
        std::scoped_lock lock(mutex_);
        deliveries_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Deliveries deliveries_;
    std::thread::id thread_;
};

class DirectiveWatcherConcurrency : public ::testing::Test {
protected:
    fs::path directory() const { return tmp.path() / "Tolvane"; }
    FileEnforcementDirectiveStore store() const {
        return FileEnforcementDirectiveStore(directory());
    }

    std::unique_ptr<EnforcementDirectiveWatcher> makeWatcher() {
        return std::make_unique<EnforcementDirectiveWatcher>(
            store(), queue, [this](const EnforcementHealthStatus& s) { recorder.record(s); },
            [this](const EnforcementDirective& d) { recorder.record(d); });
    }
    // Lets events in flight arrive, then waits for the queue to run dry.
    void settle() {
        std::this_thread::sleep_for(150ms);
        queue.sync([] {});
    }
    void settleAndClear() {
        settle();
        recorder.clear();
    }
    // Writes `text` in place of the file by rename, as a publisher would, but unchecked.
    void replaceFile(const std::string& text) {
        std::ofstream(directory() / ".incoming", std::ios::binary) << text;
        fs::rename(directory() / ".incoming", store().url());
    }

    tolvane::testing::TemporaryDirectory tmp;
    platform::SerialQueue queue{"com.tolvane.test.filter.directive"};
    Recorder recorder;
};

TEST_F(DirectiveWatcherConcurrency, StartWithoutDirectoryIsSilentAndWatchesNothing) {
    auto watcher = makeWatcher();
    watcher->start();
    EXPECT_FALSE(watcher->isWatching());
    store().publish(enforcing(1, 1));
    settle();
    EXPECT_TRUE(recorder.deliveries().empty());
    EXPECT_EQ(watcher->adoptedDirective(), std::nullopt);
}

TEST_F(DirectiveWatcherConcurrency, StartDeliversTheFileOnTheCallingThreadBeforeReturning) {
    store().publish(enforcing(2, 600));
    auto watcher = makeWatcher();
    watcher->start();
    EXPECT_EQ(recorder.deliveries(), (Deliveries{enforcing(2, 600), healthy}));
    EXPECT_EQ(recorder.thread(), std::this_thread::get_id());
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 600));
    EXPECT_TRUE(watcher->isWatching());
}

TEST_F(DirectiveWatcherConcurrency, CorruptFileAtStartFailsOpenUntilAGoodOneArrives) {
    fs::create_directory(directory());
    replaceFile("{\"scope\":");
    auto watcher = makeWatcher();
    watcher->start();
    EXPECT_EQ(recorder.deliveries(), Deliveries{failedOpen});
    EXPECT_EQ(watcher->adoptedDirective(), std::nullopt);
    store().publish(enforcing(1, 1));
    auto seen = recorder.waitForLast(healthy);
    EXPECT_EQ(seen.at(seen.size() - 2), Delivery(enforcing(1, 1)));
}

// Each damage to a file that held a good directive reports recovery and keeps the directive;
// the next good file is adopted, older or not.
TEST_F(DirectiveWatcherConcurrency, EveryBadFormOfTheFileDegradesAndKeepsTheDirective) {
    const auto good = enforcing(5, 5);
    store().publish(good);
    auto watcher = makeWatcher();
    watcher->start();
    const auto url = store().url();
    std::vector<std::pair<std::string, std::function<void()>>> damages = {
        {"deleted", [] {}},
        {"garbage", [&] { replaceFile("garbage"); }},
        {"empty", [&] { replaceFile(""); }},
        {"directory", [&] { fs::create_directory(url); }},
        {"dangling link", [&] { fs::create_symlink(directory() / "nowhere", url); }},
        {"fifo", [&] { ::mkfifo(url.c_str(), 0600); }},
        {"huge",
         [&] {
             replaceFile("{}");
             fs::resize_file(url, 100 * 1024 * 1024);
         }},
        {"rewritten in place",
         [&] { std::ofstream(url, std::ios::binary) << "{\"publishedAt\":"; }},
    };
    for (auto& [name, damage] : damages) {
        store().publish(good);
        recorder.waitForLast(healthy);
        settleAndClear();
        fs::remove(url);
        damage();
        auto seen = recorder.waitForLast(recovering);
        EXPECT_FALSE(seen.empty()) << name;
        for (const auto& d : seen) EXPECT_EQ(d, Delivery(recovering)) << name;
        EXPECT_EQ(watcher->adoptedDirective(), good) << name;
        settle();
        fs::remove(url);
    }
    store().publish(enforcing(2, 100));
    recorder.waitForLast(healthy);
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 100));
}

TEST_F(DirectiveWatcherConcurrency, SameDirectivePublishedTwiceIsDeliveredEachTime) {
    store().publish(enforcing(1, 1));
    auto watcher = makeWatcher();
    watcher->start();
    for (int round = 1; round <= 2; ++round) {
        settleAndClear();
        store().publish(enforcing(1, 1));
        auto seen = recorder.waitForLast(healthy);
        ASSERT_GE(seen.size(), 2u) << round;
        ASSERT_EQ(seen.size() % 2, 0u) << round;
        for (std::size_t i = 0; i < seen.size(); i += 2) {
            EXPECT_EQ(seen[i], Delivery(enforcing(1, 1)));
            EXPECT_EQ(seen[i + 1], Delivery(healthy));
        }
    }
}

TEST_F(DirectiveWatcherConcurrency, AttributeChangesAloneReloadNothing) {
    store().publish(enforcing(1, 1));
    auto watcher = makeWatcher();
    watcher->start();
    settleAndClear();
    fs::permissions(store().url(), fs::perms::owner_read);
    fs::permissions(directory(), fs::perms::owner_all | fs::perms::group_exec);
    settle();
    EXPECT_TRUE(recorder.deliveries().empty());
    store().publish(enforcing(2, 2));  // the watch still sees writes
    recorder.waitForLast(healthy);
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 2));
}

TEST_F(DirectiveWatcherConcurrency, StopAnyNumberOfTimesEndsDeliveries) {
    auto watcher = makeWatcher();
    watcher->stop();  // before start: nothing to stop
    store().publish(enforcing(1, 1));
    watcher->start();
    watcher->stop();
    watcher->stop();
    EXPECT_FALSE(watcher->isWatching());
    recorder.clear();
    store().publish(enforcing(2, 2));
    settle();
    EXPECT_TRUE(recorder.deliveries().empty());
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(1, 1));
}

TEST_F(DirectiveWatcherConcurrency, DeletedDirectoryEndsTheWatch) {
    store().publish(enforcing(1, 1));
    auto watcher = makeWatcher();
    watcher->start();
    fs::remove_all(directory());
    recorder.waitForLast(recovering);
    settleAndClear();
    store().publish(enforcing(2, 2));  // a new directory at the same path
    settle();
    EXPECT_TRUE(recorder.deliveries().empty());
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(1, 1));
}

TEST_F(DirectiveWatcherConcurrency, DestroyedWhileEventsAreInFlightCallsNothingAfterwards) {
    store().publish(enforcing(1, 1));
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
        for (std::int64_t i = 2; publishing; ++i) store().publish(enforcing(i, 1));
    });
    for (int round = 0; round < 30; ++round) {
        auto destroyed = std::make_shared<std::atomic<bool>>(false);
        auto lateCalls = std::make_shared<std::atomic<int>>(0);
        auto check = [destroyed, lateCalls] {
            if (*destroyed) ++*lateCalls;
            std::this_thread::sleep_for(200us);  // widen the window for the destructor
        };
        auto watcher = std::make_unique<EnforcementDirectiveWatcher>(
            store(), queue, [check](const EnforcementHealthStatus&) { check(); },
            [check](const EnforcementDirective&) { check(); });
        watcher->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        watcher.reset();
        *destroyed = true;
        queue.sync([] {});
        EXPECT_EQ(lateCalls->load(), 0) << round;
    }
    publishing = false;
    publisher.join();
}

TEST_F(DirectiveWatcherConcurrency, OwnerMayDropTheWatcherFromItsOwnHandler) {
    store().publish(enforcing(1, 1));
    std::unique_ptr<EnforcementDirectiveWatcher> watcher;
    std::atomic<int> calls{0}, callsWhenDropped{-1};
    watcher = std::make_unique<EnforcementDirectiveWatcher>(
        store(), queue, [&](const EnforcementHealthStatus&) { ++calls; },
        [&](const EnforcementDirective& d) {
            if (d.generation() != 2 || !watcher) return;
            callsWhenDropped = calls.load();
            watcher.reset();  // on the queue, mid-delivery
        });
    watcher->start();
    store().publish(enforcing(2, 2));
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::this_thread::sleep_for(10ms);
        queue.sync([&] { gone = watcher == nullptr; });
    }
    ASSERT_TRUE(gone);
    store().publish(enforcing(3, 3));
    settle();
    // The delivery that dropped it still ends with its health report; nothing follows.
    EXPECT_EQ(calls.load(), callsWhenDropped.load() + 1);
}

// Another process replaces the file thousands of times while the watcher reads it.
TEST_F(DirectiveWatcherConcurrency, StormOfAtomicPublicationsFromAnotherProcess) {
    store().publish(EnforcementDirective::idle(0));
    auto watcher = makeWatcher();
    watcher->start();
    auto result = tolvane::testing::runProcess(
        {tolvane::testing::builtProgram("tolvane-publish-storm"), directory().string(), "3000"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    auto last = decodeJSON<EnforcementDirective>(result.standardOutput);
    EXPECT_EQ(last.generation(), 3000);

    recorder.waitUntil([&](const Deliveries& d) {
        return d.size() >= 2 && d[d.size() - 2] == Delivery(last) && d.back() == Delivery(healthy);
    });
    settle();
    const auto seen = recorder.deliveries();
    std::size_t directives = 0;
    for (const auto& d : seen) {
        if (auto* status = std::get_if<EnforcementHealthStatus>(&d)) {
            ASSERT_EQ(*status, healthy) << "a delivery failed to read the file";
        } else {
            ++directives;
        }
    }
    EXPECT_GT(directives, 1u);
    EXPECT_EQ(seen.at(seen.size() - 2), Delivery(last));
    EXPECT_EQ(watcher->adoptedDirective(), last);
}

}  // namespace
}  // namespace tolvane
