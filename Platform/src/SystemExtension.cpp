#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <tolvane/platform/SystemExtension.hpp>

namespace tolvane::platform {

namespace {

// Waits for a completion that may run on any thread; only its first call counts.
template <class Value>
class CompletionLatch {
public:
    void complete(Value value) {
        std::scoped_lock lock(mutex_);
        if (value_) return;
        value_ = std::move(value);
        done_.notify_all();
    }
    Value wait() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return value_.has_value(); });
        return *value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::optional<Value> value_;
};

// The last bytes of a counted range, at their offset: the provider sees where the range
// ends without the runtime building it.
struct CountedBytes {
    std::size_t offset;
    std::span<const std::byte> bytes;
};
CountedBytes countedBytes(std::size_t offset, std::size_t length) {
    static const std::array<std::byte, SystemExtensionRuntime::maximumReadBytes> zeros{};
    if (length > std::numeric_limits<std::size_t>::max() - offset) {
        throw std::invalid_argument("a data range ends past the largest offset");
    }
    const std::size_t shown = std::min(length, zeros.size());
    return {offset + (length - shown), std::span<const std::byte>(zeros.data(), shown)};
}

// A copy of a platform flow of either kind, for a holder to change.
std::shared_ptr<FilterFlow> copyOf(const FilterFlow& flow) {
    if (const auto* socket = dynamic_cast<const FilterSocketFlow*>(&flow)) {
        return std::make_shared<FilterSocketFlow>(*socket);
    }
    return std::make_shared<FilterFlow>(flow);
}

}  // namespace

SystemExtensionRuntime::SystemExtensionRuntime(const ProviderFactory& factory,
                                               std::size_t maximumHeldFlows)
    : provider_(factory()), maximumHeldFlows_(maximumHeldFlows) {
    if (!provider_) throw std::invalid_argument("the provider factory returned no provider");
}

SystemExtensionRuntime::~SystemExtensionRuntime() = default;

std::optional<Error> SystemExtensionRuntime::startFilter() {
    auto latch = std::make_shared<CompletionLatch<std::optional<Error>>>();
    provider_->startFilter(
        [latch](std::optional<Error> error) { latch->complete(std::move(error)); });
    std::optional<Error> error = latch->wait();
    std::scoped_lock lock(mutex_);
    running_ = !error;
    return error;
}

void SystemExtensionRuntime::stopFilter(FilterStopReason reason) {
    auto latch = std::make_shared<CompletionLatch<bool>>();
    provider_->stopFilter(reason, [latch] { latch->complete(true); });
    latch->wait();
    std::scoped_lock lock(mutex_);
    running_ = false;
    heldFlows_.clear();
}

bool SystemExtensionRuntime::isFilterRunning() const {
    std::scoped_lock lock(mutex_);
    return running_;
}

NewFlowVerdict SystemExtensionRuntime::handleNewFlow(std::shared_ptr<const FilterFlow> flow) {
    const std::uint64_t identifier = flow->identifier;
    {
        // Reserved before the provider is asked, so that two threads cannot both start a
        // flow under one identifier.
        std::scoped_lock lock(mutex_);
        if (heldFlows_.contains(identifier)) {
            throw FlowRefusedError("flow " + std::to_string(identifier) +
                                   " is already held for inspection");
        }
        if (heldFlows_.size() >= maximumHeldFlows_) {
            throw FlowRefusedError("already " + std::to_string(heldFlows_.size()) +
                                   " flows held for inspection");
        }
        heldFlows_.emplace(identifier, Held{nullptr, ++nextSerial_});
    }
    std::optional<NewFlowVerdict> verdict;
    try {
        verdict = provider_->handleNewFlow(*flow);
    } catch (...) {
        std::scoped_lock lock(mutex_);
        heldFlows_.erase(identifier);
        throw;
    }
    std::scoped_lock lock(mutex_);
    if (verdict->kind() == NewFlowVerdict::Kind::filterData) {
        heldFlows_[identifier].flow = std::move(flow);
    } else {
        heldFlows_.erase(identifier);
    }
    return *verdict;
}

bool SystemExtensionRuntime::learnAboutHeldFlow(std::uint64_t flowIdentifier,
                                                const std::function<void(FilterFlow&)>& learn) {
    // Changed on a copy outside the lock; retried if the flow was replaced meanwhile.
    for (;;) {
        std::shared_ptr<const FilterFlow> current;
        {
            std::scoped_lock lock(mutex_);
            auto it = heldFlows_.find(flowIdentifier);
            if (it == heldFlows_.end() || !it->second.flow) return false;
            current = it->second.flow;
        }
        std::shared_ptr<FilterFlow> changed = copyOf(*current);
        learn(*changed);
        std::scoped_lock lock(mutex_);
        auto it = heldFlows_.find(flowIdentifier);
        if (it == heldFlows_.end() || !it->second.flow) return false;
        if (it->second.flow == current) {
            it->second.flow = std::move(changed);
            return true;
        }
    }
}

std::optional<DataVerdict> SystemExtensionRuntime::feedHeldFlow(std::uint64_t flowIdentifier,
                                                                const DataCall& call) {
    std::shared_ptr<const FilterFlow> flow;
    std::uint64_t serial = 0;
    {
        std::scoped_lock lock(mutex_);
        auto it = heldFlows_.find(flowIdentifier);
        if (it == heldFlows_.end() || !it->second.flow) return std::nullopt;
        flow = it->second.flow;
        serial = it->second.serial;
    }
    DataVerdict verdict = call(*flow);
    if (verdict.kind() != DataVerdict::Kind::data) {
        std::scoped_lock lock(mutex_);
        auto it = heldFlows_.find(flowIdentifier);
        // Another thread may have ended this flow and begun a new one under the identifier.
        if (it != heldFlows_.end() && it->second.serial == serial) heldFlows_.erase(it);
    }
    return verdict;
}

std::optional<DataVerdict> SystemExtensionRuntime::handleOutboundData(
    std::uint64_t flowIdentifier, std::size_t readBytesStartOffset,
    std::span<const std::byte> readBytes) {
    return feedHeldFlow(flowIdentifier, [&](const FilterFlow& flow) {
        return provider_->handleOutboundData(flow, readBytesStartOffset, readBytes);
    });
}

std::optional<DataVerdict> SystemExtensionRuntime::handleInboundData(
    std::uint64_t flowIdentifier, std::size_t readBytesStartOffset,
    std::span<const std::byte> readBytes) {
    return feedHeldFlow(flowIdentifier, [&](const FilterFlow& flow) {
        return provider_->handleInboundData(flow, readBytesStartOffset, readBytes);
    });
}

std::optional<DataVerdict> SystemExtensionRuntime::handleOutboundData(
    std::uint64_t flowIdentifier, std::size_t readBytesStartOffset, std::size_t length) {
    const CountedBytes counted = countedBytes(readBytesStartOffset, length);
    return handleOutboundData(flowIdentifier, counted.offset, counted.bytes);
}

std::optional<DataVerdict> SystemExtensionRuntime::handleInboundData(
    std::uint64_t flowIdentifier, std::size_t readBytesStartOffset, std::size_t length) {
    const CountedBytes counted = countedBytes(readBytesStartOffset, length);
    return handleInboundData(flowIdentifier, counted.offset, counted.bytes);
}

std::optional<DataVerdict> SystemExtensionRuntime::handleOutboundDataComplete(
    std::uint64_t flowIdentifier) {
    return feedHeldFlow(flowIdentifier, [&](const FilterFlow& flow) {
        return provider_->handleOutboundDataComplete(flow);
    });
}

std::optional<DataVerdict> SystemExtensionRuntime::handleInboundDataComplete(
    std::uint64_t flowIdentifier) {
    return feedHeldFlow(flowIdentifier, [&](const FilterFlow& flow) {
        return provider_->handleInboundDataComplete(flow);
    });
}

std::size_t SystemExtensionRuntime::heldFlowCount() const {
    std::scoped_lock lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(heldFlows_.begin(), heldFlows_.end(),
                      [](const auto& entry) { return entry.second.flow != nullptr; }));
}

int SystemExtensionRuntime::parkMainThread() {
    std::unique_lock lock(mutex_);
    exitSignal_.wait(lock, [&] { return exitCode_.has_value(); });
    return *exitCode_;
}

void SystemExtensionRuntime::requestExit(int exitCode) {
    std::scoped_lock lock(mutex_);
    if (!exitCode_) exitCode_ = exitCode;
    exitSignal_.notify_all();
}

std::unique_ptr<SystemExtensionRuntime> startSystemExtensionMode(const ProviderFactory& factory) {
    return std::make_unique<SystemExtensionRuntime>(factory);
}

}  // namespace tolvane::platform
