#include <cstdint>
#include <mutex>
#include <tolvane/EnforcementDirectiveWatcher.hpp>
#include <tolvane/platform/DirectoryWatch.hpp>
#include <utility>

namespace tolvane {

struct EnforcementDirectiveWatcher::Core {
    Core(FileEnforcementDirectiveStore store, platform::SerialQueue& q, HealthHandler onHealth,
         DirectiveHandler onChange)
        : reader(std::move(store)),
          directory(reader.directory()),
          queue(q),
          handler(std::move(onChange)),
          healthHandler(std::move(onHealth)) {}

    const FileEnforcementDirectiveStore reader;
    const std::filesystem::path directory;
    platform::SerialQueue& queue;
    const DirectiveHandler handler;
    const HealthHandler healthHandler;

    mutable std::mutex lock;  // guards the five below
    std::unique_ptr<platform::DirectoryWatch> source;
    int descriptor = -1;
    std::uint64_t watchNumber = 0;  // which start() made `source`
    bool sourceEnded = false;       // its directory is gone: its last reload has begun
    std::optional<EnforcementDirective> adopted;

    void deliverCurrent();
    void endWatch(std::uint64_t number);
};

void EnforcementDirectiveWatcher::Core::endWatch(std::uint64_t number) {
    std::scoped_lock guard(lock);
    if (number == watchNumber) sourceEnded = true;  // not a watch an earlier start() made
}

void EnforcementDirectiveWatcher::Core::deliverCurrent() {
    std::optional<EnforcementDirective> directive;
    bool failed = false;
    try {
        directive = reader.load();
    } catch (...) {
        // Which failure it was does not change what the owner is told.
        failed = true;
    }

    if (directive) {
        {
            std::scoped_lock guard(lock);
            adopted = directive;
        }
        if (handler) handler(*directive);
        if (healthHandler) healthHandler(EnforcementHealthStatus::healthy());
        return;
    }
    bool hadAdopted;
    {
        std::scoped_lock guard(lock);
        hadAdopted = adopted.has_value();
    }
    if (!failed && !hadAdopted) return;  // no file yet, and nothing to stand by: silence
    auto reason =
        hadAdopted ? DegradedReason::recoveringFromCorruption : DegradedReason::failedOpen;
    if (healthHandler) healthHandler(EnforcementHealthStatus::degraded(reason));
}

EnforcementDirectiveWatcher::EnforcementDirectiveWatcher(FileEnforcementDirectiveStore store,
                                                         platform::SerialQueue& queue,
                                                         HealthHandler onHealth,
                                                         DirectiveHandler onChange)
    : core_(std::make_shared<Core>(std::move(store), queue, std::move(onHealth),
                                   std::move(onChange))) {}

EnforcementDirectiveWatcher::~EnforcementDirectiveWatcher() {
    stop();
}

void EnforcementDirectiveWatcher::start() {
    // Watch first, read second: a publication made while the first read runs then leaves
    // events behind, delivered once the watch resumes, instead of going unseen until the
    // next change.
    auto source = platform::DirectoryWatch::make(core_->directory, core_->queue);
    core_->deliverCurrent();
    if (!source) return;

    std::uint64_t number;
    {
        std::scoped_lock guard(core_->lock);
        number = ++core_->watchNumber;
    }
    std::weak_ptr<Core> weakCore = core_;
    source->setEventHandler([weakCore, number](const platform::DirectoryEvents& events) {
        // The watch is on writes, renames and deletions; a change of attributes alone (a
        // chmod of the file or the directory) is not one of them and reloads nothing.
        if (!events.entriesChanged && !events.directoryDeleted && !events.directoryMoved) return;
        auto core = weakCore.lock();
        if (!core) return;
        // Nothing follows the reload of a deleted directory; the watch says it has ended
        // before that reload, so whoever sees the reload's delivery sees the end too.
        if (events.directoryDeleted) core->endWatch(number);
        // Whatever else changed, reload the whole file.
        core->deliverCurrent();
    });
    // The watch closes its own descriptor right after its cancel handler; nothing else to do.
    std::unique_ptr<platform::DirectoryWatch> previous;
    {
        std::scoped_lock guard(core_->lock);
        core_->descriptor = source->descriptor();
        core_->sourceEnded = false;
        previous = std::exchange(core_->source, std::move(source));
        core_->source->resume();
    }
    // Destroying the earlier watch cancels it; done outside the lock.
}

void EnforcementDirectiveWatcher::stop() {
    std::unique_ptr<platform::DirectoryWatch> source;
    {
        std::scoped_lock guard(core_->lock);
        source = std::move(core_->source);
        core_->descriptor = -1;
    }
    if (!source) return;
    source->cancel();
    source.reset();
    // Wait out a delivery already on the queue (and the watch's own cancel work behind it).
    if (!core_->queue.isCurrent()) core_->queue.sync([] {});
}

std::optional<EnforcementDirective> EnforcementDirectiveWatcher::adoptedDirective() const {
    std::scoped_lock guard(core_->lock);
    return core_->adopted;
}

const std::filesystem::path& EnforcementDirectiveWatcher::directory() const {
    return core_->directory;
}

bool EnforcementDirectiveWatcher::isWatching() const {
    std::scoped_lock guard(core_->lock);
    return core_->source != nullptr && !core_->sourceEnded;
}

}  // namespace tolvane
