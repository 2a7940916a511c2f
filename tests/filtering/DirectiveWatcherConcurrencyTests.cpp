// The directive watcher on real files, real inotify and real threads.
//
// Every wait here is for a delivery that can only come from the change under test: a directive
// seen for the first time, or a health report that only the damaged file can cause. A sleep
// never stands in for "the events have arrived", since under load they arrive late.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
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

// What the handlers were called with, in order.
using Delivery = std::variant<EnforcementDirective, EnforcementHealthStatus>;
using Deliveries = std::vector<Delivery>;

class Recorder {
public:
    void record(Delivery delivery) {
        std::scoped_lock lock(mutex_);
        deliveries_.push_back(std::move(delivery));
        changed_.notify_all();
    }
    // Waits until `done` holds for the deliveries (a failure after a minute); returns them.
    Deliveries waitUntil(const std::function<bool(const Deliveries&)>& done) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 60s, [&] { return done(deliveries_); })) {
            ADD_FAILURE() << "the awaited delivery never came";
        }
        return deliveries_;
    }
    // Waits until `directive` has been delivered with its health report.
    Deliveries waitForDelivery(const EnforcementDirective& directive) {
        return waitUntil([&](const Deliveries& d) {
            for (std::size_t i = 0; i + 1 < d.size(); ++i) {
                if (d[i] == Delivery(directive) && d[i + 1] == Delivery(healthy)) return true;
            }
            return false;
        });
    }
    Deliveries deliveries() {
        return waitUntil([](const Deliveries&) { return true; });
    }
    void clear() {
        std::scoped_lock lock(mutex_);
        deliveries_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Deliveries deliveries_;
};

class DirectiveWatcherConcurrency : public ::testing::Test {
protected:
    fs::path directory() const { return tmp.path() / "Tolvane"; }
    FileEnforcementDirectiveStore store() const {
        return FileEnforcementDirectiveStore(directory());
    }

    // A watcher recording into `to`, calling `also` after each directive it records.
    std::unique_ptr<EnforcementDirectiveWatcher> makeWatcher(
        Recorder& to, std::function<void(const EnforcementDirective&)> also = nullptr) {
        return std::make_unique<EnforcementDirectiveWatcher>(
            store(), queue, [&to](const EnforcementHealthStatus& s) { to.record(s); },
            [&to, also](const EnforcementDirective& d) {
                to.record(d);
                if (also) also(d);
            });
    }
    std::unique_ptr<EnforcementDirectiveWatcher> makeWatcher() { return makeWatcher(recorder); }

    // Puts `directive` in place with one rename from outside the watched directory: one
    // event, and no temporary file whose reload would deliver the old directive first.
    void moveIn(const EnforcementDirective& directive) {
        FileEnforcementDirectiveStore staging(tmp.path() / "staging");
        staging.publish(directive);
        fs::rename(staging.url(), store().url());
    }
    // Swaps what is at `path` (outside the watched directory) with the file, in one step.
    void swapIn(const fs::path& path) {
        ASSERT_EQ(
            ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, store().url().c_str(), RENAME_EXCHANGE),
            0)
            << std::strerror(errno);
        fs::remove_all(path);
    }
    // Publishes `directive` and returns once a second watcher, started now, has delivered it
    // and the queue has run dry. A watch that wrongly outlived its end would have had the
    // same events at the same moment, so its own delivery would be queued by then too.
    void publishWitnessed(const EnforcementDirective& directive) {
        Recorder witnessed;
        auto witness = makeWatcher(witnessed);
        witness->start();
        store().publish(directive);
        witnessed.waitForDelivery(directive);
        queue.sync([] {});
    }

    tolvane::testing::TemporaryDirectory tmp;
    platform::SerialQueue queue{"com.tolvane.test.filter.directive"};
    Recorder recorder;
};

// A publication made while start() reads the file is delivered after it, not left unseen
// until the next change. The handler publishes from inside start()'s own delivery.
TEST_F(DirectiveWatcherConcurrency, PublicationDuringTheFirstReadIsDeliveredAfterIt) {
    store().publish(enforcing(1, 1));
    std::atomic<bool> published{false};
    auto watcher = makeWatcher(recorder, [&](const EnforcementDirective&) {
        if (!published.exchange(true)) store().publish(enforcing(2, 2));
    });
    watcher->start();
    recorder.waitForDelivery(enforcing(2, 2));
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 2));
}

TEST_F(DirectiveWatcherConcurrency, CorruptFileAtStartFailsOpenUntilAGoodOneArrives) {
    fs::create_directory(directory());
    std::ofstream(store().url(), std::ios::binary) << "{\"scope\":";
    auto watcher = makeWatcher();
    watcher->start();
    EXPECT_EQ(recorder.deliveries(), Deliveries{failedOpen});
    EXPECT_EQ(watcher->adoptedDirective(), std::nullopt);
    store().publish(enforcing(1, 1));
    auto seen = recorder.waitForDelivery(enforcing(1, 1));
    // Reloads before the rename read the corrupt file and still fail open.
    seen.erase(std::find(seen.begin(), seen.end(), Delivery(enforcing(1, 1))), seen.end());
    EXPECT_EQ(seen, Deliveries(seen.size(), failedOpen));
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(1, 1));
}

// Each damage to a file that held a good directive reports recovery and keeps the directive
// (which load() failures there are is the store's test);
// the next good file is adopted, older or not. Each damage replaces the good file in one
// step, so a recovery report can only come from reading the damage.
TEST_F(DirectiveWatcherConcurrency, EveryBadFormOfTheFileDegradesAndKeepsTheDirective) {
    store().publish(enforcing(5, 5));
    auto watcher = makeWatcher();
    watcher->start();
    const auto url = store().url();
    const auto damage = tmp.path() / "damage";  // outside the watched directory
    // Each makes the damage at `damage`, then swaps it in; none means damage in place.
    const std::vector<std::pair<std::string, std::function<void()>>> damages = {
        {"garbage", [&] { std::ofstream(damage, std::ios::binary) << "garbage"; }},
        {"directory", [&] { fs::create_directory(damage); }},
        {"deleted", nullptr},
        {"rewritten in place", nullptr},
    };
    std::int64_t generation = 5;
    for (const auto& [name, make] : damages) {
        const auto good = enforcing(++generation, 5);
        fs::remove_all(url);
        moveIn(good);
        recorder.waitForDelivery(good);
        // Deliveries from here on read the good file until the damage is applied.
        recorder.clear();
        if (make) {
            make();
            swapIn(damage);
        } else if (name == "deleted") {
            fs::remove(url);
        } else {
            std::ofstream(url, std::ios::binary) << "{\"publishedAt\":";
        }
        const auto seen = recorder.waitUntil(
            [](auto& d) { return std::find(d.begin(), d.end(), Delivery(recovering)) != d.end(); });
        const auto firstRecovery = std::find(seen.begin(), seen.end(), Delivery(recovering));
        for (auto d = seen.begin(); d != seen.end(); ++d) {
            const bool goodRead = *d == Delivery(good) || *d == Delivery(healthy);
            EXPECT_TRUE(d < firstRecovery ? goodRead : *d == Delivery(recovering))
                << name << " at " << (d - seen.begin());
        }
        EXPECT_EQ(watcher->adoptedDirective(), good) << name;
    }
    fs::remove_all(url);
    moveIn(enforcing(2, 100));
    recorder.waitForDelivery(enforcing(2, 100));
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 100));
}

// start() delivers the file before it returns. The attribute changes come before the move in
// the watch's order of events: had they reloaded, the old directive would be delivered ahead
// of the new one (unless both were merged into one reload, which hides the fault but never
// fails a good watcher).
TEST_F(DirectiveWatcherConcurrency, StartDeliversTheFileAndAttributeChangesReloadNothing) {
    store().publish(enforcing(1, 1));
    auto watcher = makeWatcher();
    watcher->start();
    EXPECT_EQ(recorder.deliveries(), (Deliveries{enforcing(1, 1), healthy}));
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(1, 1));
    recorder.clear();
    fs::permissions(store().url(), fs::perms::owner_read);
    fs::permissions(directory(), fs::perms::owner_all | fs::perms::group_exec);
    moveIn(enforcing(2, 2));
    const auto seen = recorder.waitForDelivery(enforcing(2, 2));
    EXPECT_EQ(seen, (Deliveries{enforcing(2, 2), healthy}));
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(2, 2));
}

// A watcher started without its directory, or stopped (any number of times, before start
// too), sees no publication.
TEST_F(DirectiveWatcherConcurrency, StartWithoutDirectoryAndStopEndDeliveries) {
    auto early = makeWatcher();
    early->start();
    EXPECT_FALSE(early->isWatching());
    auto watcher = makeWatcher();
    watcher->stop();
    store().publish(enforcing(1, 1));
    watcher->start();
    watcher->stop();
    watcher->stop();
    EXPECT_FALSE(watcher->isWatching());
    recorder.clear();  // holds only the stopped watcher's first read
    publishWitnessed(enforcing(2, 2));
    EXPECT_TRUE(recorder.deliveries().empty());
    EXPECT_EQ(early->adoptedDirective(), std::nullopt);
}

TEST_F(DirectiveWatcherConcurrency, DeletedDirectoryEndsTheWatch) {
    store().publish(enforcing(1, 1));
    auto watcher = makeWatcher();
    watcher->start();
    recorder.clear();
    fs::remove_all(directory());
    // The watch ends with one more reload, and says so before it: once it has, that reload is
    // on the queue or done, and it may read whatever is at the path.
    recorder.waitUntil([&](const Deliveries&) { return !watcher->isWatching(); });
    queue.sync([] {});
    const auto seen = recorder.deliveries();
    EXPECT_FALSE(seen.empty());
    EXPECT_EQ(seen, Deliveries(seen.size(), recovering));
    recorder.clear();
    fs::create_directory(directory());  // anew, at the same path
    publishWitnessed(enforcing(2, 2));
    EXPECT_TRUE(recorder.deliveries().empty());
    EXPECT_EQ(watcher->adoptedDirective(), enforcing(1, 1));
}

TEST_F(DirectiveWatcherConcurrency, DestroyedWhileEventsAreInFlightCallsNothingAfterwards) {
    store().publish(enforcing(1, 1));
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
        for (std::int64_t i = 2; publishing; ++i) store().publish(enforcing(i, 1));
    });
    for (int round = 0; round < 15; ++round) {
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
        // Destroy at a different point of the event stream each round.
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
    std::size_t deliveriesWhenDropped = 0;
    std::promise<void> dropped;
    watcher = makeWatcher(recorder, [&](const EnforcementDirective& d) {
        if (d.generation() != 2 || !watcher) return;
        deliveriesWhenDropped = recorder.deliveries().size();
        watcher.reset();  // on the queue, mid-delivery
        dropped.set_value();
    });
    watcher->start();
    store().publish(enforcing(2, 2));
    ASSERT_EQ(dropped.get_future().wait_for(60s), std::future_status::ready);
    store().publish(enforcing(3, 3));  // no watch is left to see it
    queue.sync([] {});
    // The delivery that dropped it still ends with its health report; nothing follows.
    EXPECT_EQ(recorder.deliveries().size(), deliveriesWhenDropped + 1);
}

// Another process replaces the file thousands of times while the watcher reads it.
TEST_F(DirectiveWatcherConcurrency, StormOfAtomicPublicationsFromAnotherProcess) {
    store().publish(EnforcementDirective::idle(0));
    auto watcher = makeWatcher();
    watcher->start();
    auto result = tolvane::testing::runProcess(
        {tolvane::testing::builtProgram("tolvane-publish-storm"), directory().string(), "3000"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const auto last = decodeJSON<EnforcementDirective>(result.standardOutput);
    const auto seen = recorder.waitForDelivery(last);
    std::size_t directives = 0;
    for (const auto& d : seen) {
        if (auto* status = std::get_if<EnforcementHealthStatus>(&d)) {
            ASSERT_EQ(*status, healthy) << "a delivery failed to read the file";
        } else {
            ++directives;
        }
    }
    EXPECT_GT(directives, 1u);
    EXPECT_EQ(watcher->adoptedDirective(), last);
}

}  // namespace
}  // namespace tolvane
