#include "FilterDataProvider.hpp"

#include <chrono>
#include <limits>
#include <tolvane/FlowEvidence.hpp>
#include <utility>

namespace tolvane {

using platform::DataVerdict;
using platform::NewFlowVerdict;
using platform::Private;
using platform::Public;

namespace {
constexpr double kSecondsFrom1970To2001 = 978307200.0;

NewFlowVerdict newFlowVerdict(const FlowDisposition& disposition) {
    if (disposition.isDrop()) return NewFlowVerdict::dropVerdict();
    if (disposition.releasesFromInspection()) return NewFlowVerdict::allowVerdict();
    // Held flows are inspected outbound only.
    return NewFlowVerdict::filterDataVerdict(false, 0, true,
                                             static_cast<std::size_t>(*disposition.peekBytes()));
}

// What a person needs after a degraded health value: which file, why, and what holds now.
// The watcher tells only that reading failed, so the file is read once more for the reason.
std::string degradedExplanation(DegradedReason reason, const std::filesystem::path& directory) {
    const FileEnforcementDirectiveStore store(directory);
    std::string why = "it is missing";
    try {
        if (store.load()) why = "it changed while being read";
    } catch (const std::exception& error) {
        why = error.what();
    }
    std::string text =
        "the directive file " + store.url().string() + " cannot be read (" + why + "); ";
    switch (reason) {
        case DegradedReason::failedOpen:
            text +=
                "no directive was adopted, so nothing is enforced until a readable one is "
                "published there (tolvane directive publish)";
            break;
        case DegradedReason::recoveringFromCorruption:
            text +=
                "the last directive read stays in force until a readable one is published there";
            break;
        case DegradedReason::pathUnverified:
            text += "the directive's location could not be verified";
            break;
    }
    return text;
}
}  // namespace

Instant FilterDataProvider::wallClock() {
    using namespace std::chrono;
    const auto sinceEpoch = duration<double>(system_clock::now().time_since_epoch()).count();
    return sinceEpoch - kSecondsFrom1970To2001;
}

FilterDataProvider::FilterDataProvider() : FilterDataProvider(Options{}) {}

FilterDataProvider::FilterDataProvider(Options options)
    : directiveDirectory_(std::move(options.directiveDirectory)),
      clock_(options.clock ? std::move(options.clock) : Clock(&FilterDataProvider::wallClock)),
      classifier_(std::make_shared<FlowClassifier>(
          std::nullopt,
          NameAddressAssociations::Limits{associationLifetime, maximumAddresses,
                                          maximumNamesPerAddress},
          clock_())),
      log_(std::string(bundleIdentifier), "enforcement") {}

FilterDataProvider::~FilterDataProvider() = default;

FilterDataProvider::Watching::~Watching() {
    // Stop before the queue the watcher's events run on goes away.
    if (watcher) watcher->stop();
    watcher.reset();
    queue.reset();
}

void FilterDataProvider::startFilter(StartCompletion completion) {
    // Every new flow comes to handleNewFlow: no rules, default action filter data.
    platform::FilterSettings settings({}, platform::FilterAction::filterData);
    std::weak_ptr<platform::FilterDataProviderBase> weakSelf = weak_from_this();
    applySettings(std::move(settings), [weakSelf, completion = std::move(completion)](
                                           std::optional<platform::Error> error) {
        auto self = std::static_pointer_cast<FilterDataProvider>(weakSelf.lock());
        if (!self || error) {
            completion(std::move(error));
            return;
        }
        self->started(completion);
    });
}

void FilterDataProvider::started(StartCompletion completion) {
    // The handlers hold the classifier and their own logger, never the provider.
    auto onChange = [classifier = classifier_, log = log_,
                     clock = clock_](const EnforcementDirective& directive) {
        classifier->adopt(directive, clock());
        const std::string counters = classifier->diagnosticCounters().description();
        log.notice("adopted directive %s", Private(counters));
    };
    auto onHealth = [log = log_,
                     directory = directiveDirectory_](const EnforcementHealthStatus& status) {
        if (auto reason = status.degradedReason()) {
            log.error("enforcement degraded: %{public}s", Public(rawValue(*reason)));
            log.error("%{public}s", Public(degradedExplanation(*reason, directory)));
        }
    };
    auto watching = std::make_shared<Watching>();
    watching->queue =
        std::make_unique<platform::SerialQueue>(std::string(bundleIdentifier) + ".directive");
    watching->watcher = std::make_unique<EnforcementDirectiveWatcher>(
        FileEnforcementDirectiveStore(directiveDirectory_), *watching->queue, std::move(onHealth),
        std::move(onChange));
    std::shared_ptr<Watching> previous;
    {
        std::scoped_lock guard(lock_);
        previous = std::exchange(watching_, watching);
    }
    previous.reset();  // a start without a stop replaces the old watcher, outside the lock
    // Reads the file now: a directive on disk is in force before the platform hears we run.
    // `watching` keeps the watcher alive even if a stop takes it out meanwhile.
    watching->watcher->start();
    completion(std::nullopt);
}

void FilterDataProvider::stopFilter(platform::FilterStopReason reason, StopCompletion completion) {
    std::shared_ptr<Watching> watching;
    {
        std::scoped_lock guard(lock_);
        watching = std::move(watching_);
    }
    watching.reset();  // stops the watcher, then ends its queue
    const std::string counters = classifier_->diagnosticCounters().description();
    log_.notice("filter stopped, reason %ld %s", Public(platform::rawValue(reason)),
                Private(counters));
    completion();
}

bool FilterDataProvider::isWatching() const {
    std::scoped_lock guard(lock_);
    return watching_ != nullptr;
}

NewFlowVerdict FilterDataProvider::handleNewFlow(const platform::FilterFlow& flow) {
    const FlowEvidence evidence = FlowEvidence::fromFlow(flow);
    return newFlowVerdict(classifier_->classifyNewFlow(evidence, clock_()).disposition());
}

bool FilterDataProvider::isEnforcing() const {
    return classifier_->isEnforcing();
}

std::int64_t FilterDataProvider::enforcedGeneration() const {
    return classifier_->enforcedGeneration();
}

void FilterDataProvider::recordResolution(std::string_view hostname,
                                          const platform::EndpointHost& address) {
    if (const auto* v4 = address.asIPv4()) {
        classifier_->recordResolution(hostname, FlowAddress(*v4), clock_());
    } else if (const auto* v6 = address.asIPv6()) {
        classifier_->recordResolution(hostname, FlowAddress(*v6), clock_());
    }
}

bool FilterDataProvider::shouldCutLiveFlow(const platform::FilterFlow& flow) {
    const FlowEvidence evidence = FlowEvidence::fromFlow(flow);
    return classifier_->classifyLiveFlow(evidence, clock_()).disposition().isDrop();
}

namespace {
// Where the bytes handed over end; a platform may count further than a signed count reaches
// (or wrap), and such a flow has simply been read past any inspection length.
std::int64_t bytesSeenBy(std::size_t offset, std::size_t size) {
    constexpr auto most = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    if (offset > most || size > most - offset) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(offset + size);
}
}  // namespace

DataVerdict FilterDataProvider::handleData(const platform::FilterFlow& flow,
                                           std::int64_t bytesInspected) {
    // Made afresh: the platform may know the host name by now.
    const FlowEvidence evidence = FlowEvidence::fromFlow(flow);
    const FlowDisposition disposition =
        classifier_->classifyInspectedFlow(evidence, bytesInspected, clock_()).disposition();
    if (disposition.isDrop()) return DataVerdict::dropVerdict();
    if (disposition.releasesFromInspection()) return DataVerdict::allowVerdict();
    return DataVerdict::dataVerdict(static_cast<std::size_t>(bytesInspected),
                                    static_cast<std::size_t>(*disposition.peekBytes()));
}

DataVerdict FilterDataProvider::handleOutboundData(const platform::FilterFlow& flow,
                                                   std::size_t readBytesStartOffset,
                                                   std::span<const std::byte> readBytes) {
    return handleData(flow, bytesSeenBy(readBytesStartOffset, readBytes.size()));
}

DataVerdict FilterDataProvider::handleInboundData(const platform::FilterFlow& flow,
                                                  std::size_t readBytesStartOffset,
                                                  std::span<const std::byte> readBytes) {
    return handleData(flow, bytesSeenBy(readBytesStartOffset, readBytes.size()));
}

DataVerdict FilterDataProvider::handleOutboundDataComplete(const platform::FilterFlow& flow) {
    return handleData(flow, completedDirectionBytes);
}

DataVerdict FilterDataProvider::handleInboundDataComplete(const platform::FilterFlow& flow) {
    return handleData(flow, completedDirectionBytes);
}

}  // namespace tolvane
