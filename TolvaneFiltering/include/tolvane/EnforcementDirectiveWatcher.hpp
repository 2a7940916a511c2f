// EnforcementDirectiveWatcher.hpp: keeps the filter in step with the directive file. It reads
// the directive once when started and again on every change to the file's directory, hands
// each directive it reads to its owner, and reports the health of that path. A directive once
// adopted stays in force until another readable directive replaces it.
//
//   load() gives    adopted before  then adopted    onChange called  onHealth called with
//   -------------   --------------  --------------  ---------------  -------------------------------
//   a directive     either          that directive  yes, with it     healthy
//   none (no file)  no              none            no               nothing
//   none (no file)  yes             unchanged       no               degraded(recoveringFromCorruption)
//   an error        no              none            no               degraded(failedOpen)
//   an error        yes             unchanged       no               degraded(recoveringFromCorruption)
//
// Every delivery is a full reload; a directive is delivered again even when unchanged, and one
// publication may be delivered more than once. Entries written, created, moved or removed,
// and the directory deleted or moved, lead to a reload; a change of attributes alone does not. The watch follows the directory object: when
// the directory is deleted the watch ends after one more reload, and a directory made anew at
// that path is not watched until a new watcher starts.
//
// Threads: onChange and onHealth run on the thread that calls start() (the first delivery)
// and on the queue (every later one); the queue is serial, so deliveries never overlap.
// Within a delivery the adopted directive is updated first, then onChange runs, then
// onHealth. The watcher's lock guards only the watch and the adopted directive and is never
// held while reading the file or calling a handler. The watcher never throws and never logs.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <tolvane/DirectiveStore.hpp>
#include <tolvane/EnforcementDirective.hpp>
#include <tolvane/Health.hpp>
#include <tolvane/platform/SerialQueue.hpp>

namespace tolvane {

class EnforcementDirectiveWatcher {
public:
    using HealthHandler = std::function<void(const EnforcementHealthStatus&)>;
    using DirectiveHandler = std::function<void(const EnforcementDirective&)>;

    // Watches the directory of `store.url()`, handling its events on `queue`. Touches no
    // file and calls neither handler. REQUIRES: `queue` outlives the watcher.
    EnforcementDirectiveWatcher(FileEnforcementDirectiveStore store, platform::SerialQueue& queue,
                                HealthHandler onHealth, DirectiveHandler onChange);

    // Stops first (see stop()), so no handler runs once the destructor has returned, unless
    // it is destroyed from inside one of its own handlers; even then, the delivery under way
    // keeps what it uses alive until it ends.
    ~EnforcementDirectiveWatcher();

    EnforcementDirectiveWatcher(const EnforcementDirectiveWatcher&) = delete;
    EnforcementDirectiveWatcher& operator=(const EnforcementDirectiveWatcher&) = delete;

    // Delivers the current directive on this thread, before returning, then watches the
    // directory. The watch is set up before that first read, so a change made while it runs
    // (even by a handler) is delivered afterwards. When the directory cannot be opened it
    // stops after the first delivery, silently: nothing more is delivered. Meant to be called
    // once; a second call delivers again and replaces (and cancels) the earlier watch.
    void start();

    // Ends the watch and closes its descriptor. Any number of times, before start() too.
    // Unless called on the queue, it returns only after a delivery already under way there
    // has finished, so no handler runs after it returns. The adopted directive stays.
    void stop();

    // The directive delivered last; none until a read succeeds.
    std::optional<EnforcementDirective> adoptedDirective() const;

    // The watched directory, and whether a watch is in place: not before start() nor after
    // stop(), nor when the directory could not be watched, nor once the directory has been
    // deleted (from just before the last reload, so that reload's delivery sees it ended).
    const std::filesystem::path& directory() const;
    bool isWatching() const;

private:
    struct Core;
    // Shared with the watch's event handler, which holds it only weakly.
    std::shared_ptr<Core> core_;
};

}  // namespace tolvane
