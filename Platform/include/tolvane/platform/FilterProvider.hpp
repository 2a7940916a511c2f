// FilterProvider.hpp: the provider base class the content-filter platform drives, with its
// life-cycle vocabulary (errors and stop reasons).
//
//   class MyProvider : public FilterDataProviderBase {
//       void startFilter(StartCompletion done) override {
//           applySettings(FilterSettings({}, FilterAction::filterData),
//                         [done](std::optional<Error> e) { done(e); });
//       }
//       NewFlowVerdict handleNewFlow(const FilterFlow& flow) override { ... }
//   };
//
//   rawValue(FilterStopReason::userInitiated)        1
//   fromRawValue<FilterStopReason>(14)               FilterStopReason::appUpdate
//
// Providers are owned through std::shared_ptr (the runtime makes them so), which lets a
// completion hold its provider weakly through weak_from_this().
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tolvane/platform/FilterSettings.hpp>
#include <tolvane/platform/FilterVerdict.hpp>
#include <tolvane/platform/Flow.hpp>

namespace tolvane::platform {

// An error the platform reports: a domain, a code, and a text for people.
struct Error {
    std::string domain;
    long code = 0;
    std::string message;

    bool operator==(const Error&) const = default;
    // "tolvane.platform.filter 5: permission denied"
    std::string description() const;
};
std::ostream& operator<<(std::ostream& os, const Error& error);

enum class FilterStopReason {
    none = 0,
    userInitiated = 1,
    providerFailed = 2,
    noNetworkAvailable = 3,
    unrecoverableNetworkChange = 4,
    providerDisabled = 5,
    authenticationCanceled = 6,
    configurationDisabled = 7,
    configurationRemoved = 8,
    superceded = 9,
    userLogout = 10,
    userSwitch = 11,
    connectionFailed = 12,
    sleep = 13,
    appUpdate = 14,
};
inline constexpr std::array<FilterStopReason, 15> allFilterStopReasonCases = {
    FilterStopReason::none,
    FilterStopReason::userInitiated,
    FilterStopReason::providerFailed,
    FilterStopReason::noNetworkAvailable,
    FilterStopReason::unrecoverableNetworkChange,
    FilterStopReason::providerDisabled,
    FilterStopReason::authenticationCanceled,
    FilterStopReason::configurationDisabled,
    FilterStopReason::configurationRemoved,
    FilterStopReason::superceded,
    FilterStopReason::userLogout,
    FilterStopReason::userSwitch,
    FilterStopReason::connectionFailed,
    FilterStopReason::sleep,
    FilterStopReason::appUpdate,
};
constexpr long rawValue(FilterStopReason value) {
    return static_cast<long>(value);
}
template <>
std::optional<FilterStopReason> fromRawValue<FilterStopReason>(long raw);
std::string_view caseName(FilterStopReason value);  // "userInitiated"
std::ostream& operator<<(std::ostream& os, FilterStopReason value);

class FilterDataProviderBase : public std::enable_shared_from_this<FilterDataProviderBase> {
public:
    using StartCompletion = std::function<void(std::optional<Error>)>;
    using StopCompletion = std::function<void()>;
    using ApplySettingsCompletion = std::function<void(std::optional<Error>)>;
    // The platform's side of applySettings: installs `settings` (nullopt removes them) and
    // calls `completion` exactly once, on any thread, now or later.
    using SettingsApplier = std::function<void(const std::optional<FilterSettings>& settings,
                                               ApplySettingsCompletion completion)>;

    FilterDataProviderBase();
    virtual ~FilterDataProviderBase();
    FilterDataProviderBase(const FilterDataProviderBase&) = delete;
    FilterDataProviderBase& operator=(const FilterDataProviderBase&) = delete;

    // Life cycle. Each completion must be called exactly once. The defaults complete at once.
    virtual void startFilter(StartCompletion completion);
    virtual void stopFilter(FilterStopReason reason, StopCompletion completion);

    // Flows, called on the platform's threads, possibly at the same time. The defaults allow.
    virtual NewFlowVerdict handleNewFlow(const FilterFlow& flow);
    // `readBytesStartOffset`: the offset within that direction of the flow of the first byte
    // in `readBytes`.
    virtual DataVerdict handleOutboundData(const FilterFlow& flow, std::size_t readBytesStartOffset,
                                           std::span<const std::byte> readBytes);
    virtual DataVerdict handleInboundData(const FilterFlow& flow, std::size_t readBytesStartOffset,
                                          std::span<const std::byte> readBytes);
    virtual DataVerdict handleOutboundDataComplete(const FilterFlow& flow);
    virtual DataVerdict handleInboundDataComplete(const FilterFlow& flow);

    // Asks the platform to install `settings`; `completion` gets the platform's error or
    // none, on whatever thread the platform chooses (with no applier set: at once, on this
    // thread, always succeeding). The completion may run after the provider is gone.
    void applySettings(std::optional<FilterSettings> settings, ApplySettingsCompletion completion);

    // The settings the platform has in force: the last ones applied without error.
    std::optional<FilterSettings> appliedSettings() const;

    // The platform's side: only the runtime and tests set this.
    void setSettingsApplier(SettingsApplier applier);

private:
    struct SettingsState;
    std::shared_ptr<SettingsState> settings_;
};

}  // namespace tolvane::platform
