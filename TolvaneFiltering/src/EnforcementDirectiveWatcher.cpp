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

    mutable std::mutex lock;  // guards the three below
    std::unique_ptr<platform::DirectoryWatch> source;
    int descriptor = -1;
    std::optional<EnforcementDirective> adopted;

    void deliverCurrent();
};

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
    core_->deliverCurrent();

    auto source = platform::DirectoryWatch::make(core_->directory, core_->queue);
    if (!source) return;
    std::weak_ptr<Core> weakCore = core_;
    source->setEventHandler([weakCore](const platform::DirectoryEvents& events) {
        // The watch is on writes, renames and deletions; a change of attributes alone (a
        // chmod of the file or the directory) is not one of them and reloads nothing.
        if (!events.entriesChanged && !events.directoryDeleted && !events.directoryMoved) return;
        // Whatever else changed, reload the whole file.
        if (auto core = weakCore.lock()) core->deliverCurrent();
    });
    // The watch closes its own descriptor right after its cancel handler; nothing else to do.
    std::unique_ptr<platform::DirectoryWatch> previous;
    {
        std::scoped_lock guard(core_->lock);
        core_->descriptor = source->descriptor();
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
    return core_->source != nullptr;
}

}  // namespace tolvane
