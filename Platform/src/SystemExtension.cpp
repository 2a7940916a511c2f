#include <array>
#include <stdexcept>
#include <tolvane/platform/SystemExtension.hpp>
#include <vector>

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

// Bytes handed over for data events that name only a length; never read by the filter.
std::span<const std::byte> zeroBytes(std::size_t length, std::vector<std::byte>& spill) {
    static const std::array<std::byte, 64 * 1024> zeros{};
    if (length <= zeros.size()) return std::span<const std::byte>(zeros.data(), length);
    spill.assign(length, std::byte{0});
    return spill;
}

}  // namespace

SystemExtensionRuntime::SystemExtensionRuntime(const ProviderFactory& factory)
    : provider_(factory()) {
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
    NewFlowVerdict verdict = provider_->handleNewFlow(*flow);
    std::scoped_lock lock(mutex_);
    if (verdict.kind() == NewFlowVerdict::Kind::filterData) {
        heldFlows_[flow->identifier] = std::move(flow);
    } else {
        heldFlows_.erase(flow->identifier);
    }
    return verdict;
}

std::optional<DataVerdict> SystemExtensionRuntime::feedHeldFlow(std::uint64_t flowIdentifier,
                                                                const DataCall& call) {
    std::shared_ptr<const FilterFlow> flow;
    {
        std::scoped_lock lock(mutex_);
        auto it = heldFlows_.find(flowIdentifier);
        if (it == heldFlows_.end()) return std::nullopt;
        flow = it->second;
    }
    DataVerdict verdict = call(*flow);
    if (verdict.kind() != DataVerdict::Kind::data) {
        std::scoped_lock lock(mutex_);
        auto it = heldFlows_.find(flowIdentifier);
        // Another thread may have replaced the flow under this identifier meanwhile.
        if (it != heldFlows_.end() && it->second == flow) heldFlows_.erase(it);
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
    std::vector<std::byte> spill;
    return handleOutboundData(flowIdentifier, readBytesStartOffset, zeroBytes(length, spill));
}

std::optional<DataVerdict> SystemExtensionRuntime::handleInboundData(
    std::uint64_t flowIdentifier, std::size_t readBytesStartOffset, std::size_t length) {
    std::vector<std::byte> spill;
    return handleInboundData(flowIdentifier, readBytesStartOffset, zeroBytes(length, spill));
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
    return heldFlows_.size();
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
