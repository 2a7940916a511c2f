// FilterDataProvider.hpp: the filter host's provider, the object through which the platform
// drives the filter. It is thin: every flow decision is the classifier's; this file maps
// classifications to platform verdicts, and starts and stops the directive watcher.
//
//   disposition                     new-flow verdict                      data verdict
//   ------------------------------  ------------------------------------  --------------------------------
//   drop                            dropVerdict                           dropVerdict
//   allowAndRelease                 allowVerdict                          allowVerdict
//   allowUnderInspection(n = 4096)  filterData(inbound off, peek 0,       data(pass = bytes seen so far,
//                                              outbound on, peek n)            peek = n)
//
// A direction that completes counts as 4096 bytes seen, which always ends inspection.
//
// Threads: flow callbacks come on the platform's threads, possibly at once, and share only
// the classifier (which has its own lock). The provider's lock guards only the watcher, and
// is never held while starting or stopping it or while logging.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <tolvane/DirectiveStore.hpp>
#include <tolvane/EnforcementDirectiveWatcher.hpp>
#include <tolvane/EvidenceBoundedPolicy.hpp>
#include <tolvane/FlowClassifier.hpp>
#include <tolvane/Instant.hpp>
#include <tolvane/platform/FilterProvider.hpp>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SerialQueue.hpp>

namespace tolvane {

class FilterDataProvider final : public platform::FilterDataProviderBase {
public:
    // The host's reverse-DNS identifier: the log subsystem, and with ".directive" the label
    // of the directive queue.
    static constexpr std::string_view bundleIdentifier = "com.tolvane.filter";

    // Limits of the name-address memory the classifier is made with.
    static constexpr Instant associationLifetime = 120.0;
    static constexpr std::int64_t maximumAddresses = 2048;
    static constexpr std::int64_t maximumNamesPerAddress = 8;
    // Bytes that count as seen when a direction of a flow completes: all that a held flow is
    // inspected for, so that completing always ends inspection.
    static constexpr std::int64_t completedDirectionBytes =
        EvidenceBoundedPolicy::inspectionPeekBytes;

    // The only clock the filter reads, once per callback. The default reads the wall clock.
    using Clock = std::function<Instant()>;

    struct Options {
        std::filesystem::path directiveDirectory =
            FileEnforcementDirectiveStore::defaultDirectory();
        Clock clock;  // empty: the wall clock
    };

    FilterDataProvider();
    explicit FilterDataProvider(Options options);
    ~FilterDataProvider() override;

    void startFilter(StartCompletion completion) override;
    void stopFilter(platform::FilterStopReason reason, StopCompletion completion) override;

    platform::NewFlowVerdict handleNewFlow(const platform::FilterFlow& flow) override;
    platform::DataVerdict handleOutboundData(const platform::FilterFlow& flow,
                                             std::size_t readBytesStartOffset,
                                             std::span<const std::byte> readBytes) override;
    platform::DataVerdict handleInboundData(const platform::FilterFlow& flow,
                                            std::size_t readBytesStartOffset,
                                            std::span<const std::byte> readBytes) override;
    platform::DataVerdict handleOutboundDataComplete(const platform::FilterFlow& flow) override;
    platform::DataVerdict handleInboundDataComplete(const platform::FilterFlow& flow) override;

    // Hooks for a runtime that sees more than the platform's callbacks report: the DNS
    // answers its hosts receive, and the flows still running when the scope grows. Each reads
    // the provider's clock once.
    //
    // Whether anything is enforced, and the generation of the scope in force (0 without
    // one): a runtime checks live flows again when either grows.
    bool isEnforcing() const;
    std::int64_t enforcedGeneration() const;
    // A name resolved to `address` (the name asked for, never a CNAME target), remembered as
    // a named flow's would be. Hosts other than IPv4 and IPv6 addresses are ignored.
    // Allocates nothing once the pair is known.
    void recordResolution(std::string_view hostname, const platform::EndpointHost& address);
    // Whether a running flow should be cut under what is enforced now; counts nothing.
    bool shouldCutLiveFlow(const platform::FilterFlow& flow);

    // The classifier, for diagnostics; it lives as long as the provider.
    const FlowClassifier& classifier() const { return *classifier_; }
    // Whether a watcher is running (between a successful start and a stop).
    bool isWatching() const;

    // The seconds since 2001-01-01T00:00:00Z on the wall clock.
    static Instant wallClock();

private:
    // The watcher and the queue its events run on; the watcher goes first.
    struct Watching {
        std::unique_ptr<platform::SerialQueue> queue;
        std::unique_ptr<EnforcementDirectiveWatcher> watcher;
        ~Watching();
    };

    platform::DataVerdict handleData(const platform::FilterFlow& flow, std::int64_t bytesInspected);
    void started(StartCompletion completion);

    const std::filesystem::path directiveDirectory_;
    const Clock clock_;
    // Shared with the directive handler, which must not keep the provider alive.
    const std::shared_ptr<FlowClassifier> classifier_;
    const platform::Logger log_;
    mutable std::mutex lock_;  // guards watching_ only
    std::shared_ptr<Watching> watching_;
};

}  // namespace tolvane
