#include <mutex>
#include <ostream>
#include <tolvane/platform/FilterProvider.hpp>

namespace tolvane::platform {

std::string Error::description() const {
    return domain + " " + std::to_string(code) + ": " + message;
}

std::ostream& operator<<(std::ostream& os, const Error& error) {
    return os << error.description();
}

template <>
std::optional<FilterStopReason> fromRawValue<FilterStopReason>(long raw) {
    for (FilterStopReason reason : allFilterStopReasonCases) {
        if (rawValue(reason) == raw) return reason;
    }
    return std::nullopt;
}

std::string_view caseName(FilterStopReason value) {
    switch (value) {
        case FilterStopReason::none:
            return "none";
        case FilterStopReason::userInitiated:
            return "userInitiated";
        case FilterStopReason::providerFailed:
            return "providerFailed";
        case FilterStopReason::noNetworkAvailable:
            return "noNetworkAvailable";
        case FilterStopReason::unrecoverableNetworkChange:
            return "unrecoverableNetworkChange";
        case FilterStopReason::providerDisabled:
            return "providerDisabled";
        case FilterStopReason::authenticationCanceled:
            return "authenticationCanceled";
        case FilterStopReason::configurationDisabled:
            return "configurationDisabled";
        case FilterStopReason::configurationRemoved:
            return "configurationRemoved";
        case FilterStopReason::superceded:
            return "superceded";
        case FilterStopReason::userLogout:
            return "userLogout";
        case FilterStopReason::userSwitch:
            return "userSwitch";
        case FilterStopReason::connectionFailed:
            return "connectionFailed";
        case FilterStopReason::sleep:
            return "sleep";
        case FilterStopReason::appUpdate:
            return "appUpdate";
    }
    return "none";
}

std::ostream& operator<<(std::ostream& os, FilterStopReason value) {
    return os << caseName(value);
}

// Shared with pending completions, which may outlive the provider.
struct FilterDataProviderBase::SettingsState {
    std::mutex mutex;
    SettingsApplier applier;
    std::optional<FilterSettings> applied;
};

FilterDataProviderBase::FilterDataProviderBase() : settings_(std::make_shared<SettingsState>()) {}

FilterDataProviderBase::~FilterDataProviderBase() = default;

void FilterDataProviderBase::startFilter(StartCompletion completion) {
    completion(std::nullopt);
}

void FilterDataProviderBase::stopFilter(FilterStopReason, StopCompletion completion) {
    completion();
}

NewFlowVerdict FilterDataProviderBase::handleNewFlow(const FilterFlow&) {
    return NewFlowVerdict::allowVerdict();
}

DataVerdict FilterDataProviderBase::handleOutboundData(const FilterFlow&, std::size_t,
                                                       std::span<const std::byte>) {
    return DataVerdict::allowVerdict();
}

DataVerdict FilterDataProviderBase::handleInboundData(const FilterFlow&, std::size_t,
                                                      std::span<const std::byte>) {
    return DataVerdict::allowVerdict();
}

DataVerdict FilterDataProviderBase::handleOutboundDataComplete(const FilterFlow&) {
    return DataVerdict::allowVerdict();
}

DataVerdict FilterDataProviderBase::handleInboundDataComplete(const FilterFlow&) {
    return DataVerdict::allowVerdict();
}

void FilterDataProviderBase::applySettings(std::optional<FilterSettings> settings,
                                           ApplySettingsCompletion completion) {
    SettingsApplier applier;
    {
        std::scoped_lock lock(settings_->mutex);
        applier = settings_->applier;
    }
    auto record = [state = settings_, settings,
                   completion = std::move(completion)](std::optional<Error> error) {
        if (!error) {
            std::scoped_lock lock(state->mutex);
            state->applied = settings;
        }
        if (completion) completion(std::move(error));
    };
    if (applier) {
        applier(settings, std::move(record));
    } else {
        record(std::nullopt);
    }
}

std::optional<FilterSettings> FilterDataProviderBase::appliedSettings() const {
    std::scoped_lock lock(settings_->mutex);
    return settings_->applied;
}

void FilterDataProviderBase::setSettingsApplier(SettingsApplier applier) {
    std::scoped_lock lock(settings_->mutex);
    settings_->applier = std::move(applier);
}

}  // namespace tolvane::platform
