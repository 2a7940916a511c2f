// SystemExtension.hpp: the runtime that plays the operating system's part for a filter
// provider: it makes the provider through a factory, starts and stops the filter, and hands
// it flows and their data the way the platform would.
//
//   auto runtime = startSystemExtensionMode([] { return std::make_shared<MyProvider>(); });
//   runtime->startFilter();                          nullopt, or the error the start reported
//   runtime->handleNewFlow(flow)                     the provider's NewFlowVerdict
//   runtime->handleOutboundData(flow->identifier, 0, 1000)
//                                                    its DataVerdict; nullopt for a flow
//                                                    that is not held
//   runtime->stopFilter(FilterStopReason::userInitiated);
//   return runtime->parkMainThread();                waits for requestExit(code)
//
// Held flows. As on the platform, only a flow whose new-flow verdict asked for its data
// (filterDataVerdict) receives data callbacks. The runtime is the one keeper of such flows,
// by identifier, until a data verdict allows or drops them; data for any other identifier is
// refused (nullopt), which a host reports as a protocol error. Either direction of a held
// flow may be fed, whatever the verdict asked for, so that both callbacks can be exercised.
// What the platform learns about a held flow later (its name, say) replaces the flow through
// learnAboutHeldFlow; callbacks already running keep the flow as it was.
//
// A new flow whose identifier names a flow still held is refused (FlowRefusedError) before
// the provider sees it: identifiers are unique among live flows, and replacing a held flow
// would leave the provider counting one held flow that never ends. So is a new flow when
// maximumHeldFlows are held: the flows a runtime remembers are bounded whatever it is fed.
//
// Data events that give only a length are counted, never built: the provider is handed the
// last bytes of the range (at most maximumReadBytes, all zero) at their true offset, so
// offset plus size is where the range ends, and no event makes the runtime allocate.
//
// Flows are handed on whatever thread calls, whether or not the filter is running: the
// runtime does not stand between the host and the provider there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <tolvane/platform/FilterProvider.hpp>
#include <unordered_map>

namespace tolvane::platform {

using ProviderFactory = std::function<std::shared_ptr<FilterDataProviderBase>()>;

// A new flow the runtime did not hand to the provider; what() says why.
class FlowRefusedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SystemExtensionRuntime {
public:
    static constexpr std::size_t defaultMaximumHeldFlows = 16384;
    // The most bytes of a count-only data event handed to the provider in one call.
    static constexpr std::size_t maximumReadBytes = 64 * 1024;

    // Makes the provider at once. REQUIRES: `factory` returns a provider.
    explicit SystemExtensionRuntime(const ProviderFactory& factory,
                                    std::size_t maximumHeldFlows = defaultMaximumHeldFlows);
    // Releases the provider; it does not stop a running filter (call stopFilter first).
    ~SystemExtensionRuntime();
    SystemExtensionRuntime(const SystemExtensionRuntime&) = delete;
    SystemExtensionRuntime& operator=(const SystemExtensionRuntime&) = delete;

    FilterDataProviderBase& provider() const { return *provider_; }
    const std::shared_ptr<FilterDataProviderBase>& sharedProvider() const { return provider_; }

    // Calls the provider's startFilter and waits until its completion has run (on any
    // thread); returns the error it was given. Later calls of that completion are ignored.
    std::optional<Error> startFilter();
    // Calls the provider's stopFilter with `reason` and waits for its completion. Held
    // flows are forgotten.
    void stopFilter(FilterStopReason reason);
    // True between a start that completed without error and the next stop.
    bool isFilterRunning() const;

    // Throws FlowRefusedError for an identifier still held or when the runtime is full.
    NewFlowVerdict handleNewFlow(std::shared_ptr<const FilterFlow> flow);
    // Replaces a held flow by a copy that `learn` has changed. False (and `learn` not called)
    // when no flow is held under `flowIdentifier`.
    bool learnAboutHeldFlow(std::uint64_t flowIdentifier,
                            const std::function<void(FilterFlow&)>& learn);
    std::optional<DataVerdict> handleOutboundData(std::uint64_t flowIdentifier,
                                                  std::size_t readBytesStartOffset,
                                                  std::span<const std::byte> readBytes);
    std::optional<DataVerdict> handleInboundData(std::uint64_t flowIdentifier,
                                                 std::size_t readBytesStartOffset,
                                                 std::span<const std::byte> readBytes);
    // The same for `length` bytes that are only counted (see above).
    // REQUIRES: readBytesStartOffset + length does not overflow.
    std::optional<DataVerdict> handleOutboundData(std::uint64_t flowIdentifier,
                                                  std::size_t readBytesStartOffset,
                                                  std::size_t length);
    std::optional<DataVerdict> handleInboundData(std::uint64_t flowIdentifier,
                                                 std::size_t readBytesStartOffset,
                                                 std::size_t length);
    std::optional<DataVerdict> handleOutboundDataComplete(std::uint64_t flowIdentifier);
    std::optional<DataVerdict> handleInboundDataComplete(std::uint64_t flowIdentifier);
    std::size_t heldFlowCount() const;

    // dispatch_main: blocks the calling thread until requestExit is called (from any
    // thread, a signal watch's included; before the park counts too) and returns its code.
    int parkMainThread();
    void requestExit(int exitCode);

private:
    using DataCall = std::function<DataVerdict(const FilterFlow&)>;
    std::optional<DataVerdict> feedHeldFlow(std::uint64_t flowIdentifier, const DataCall& call);

    std::shared_ptr<FilterDataProviderBase> provider_;
    const std::size_t maximumHeldFlows_;

    mutable std::mutex mutex_;  // guards everything below
    // One flow's time under an identifier: `serial` tells it from a later flow that reuses
    // the identifier. A null flow reserves the identifier while the provider decides.
    struct Held {
        std::shared_ptr<const FilterFlow> flow;
        std::uint64_t serial = 0;
    };
    std::unordered_map<std::uint64_t, Held> heldFlows_;
    std::uint64_t nextSerial_ = 0;
    bool running_ = false;
    std::condition_variable exitSignal_;
    std::optional<int> exitCode_;
};

// NEProvider.startSystemExtensionMode: hands the process to the (stand-in) platform, which
// makes the provider through `factory`.
std::unique_ptr<SystemExtensionRuntime> startSystemExtensionMode(const ProviderFactory& factory);

}  // namespace tolvane::platform
