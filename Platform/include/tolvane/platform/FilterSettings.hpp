// FilterSettings.hpp: what a filter provider asks the platform to route to it: an ordered
// list of rules and the action for traffic no rule matches.
//
//   FilterSettings({}, FilterAction::filterData)    every new flow goes to handleNewFlow
//   rawValue(FilterAction::filterData)              4 (the framework's raw values)
//   fromRawValue<FilterAction>(2)                   FilterAction::drop; 9 -> nullopt
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/platform/Flow.hpp>
#include <vector>

namespace tolvane::platform {

enum class FilterAction { invalid = 0, allow = 1, drop = 2, remediate = 3, filterData = 4 };
inline constexpr std::array<FilterAction, 5> allFilterActionCases = {
    FilterAction::invalid, FilterAction::allow, FilterAction::drop, FilterAction::remediate,
    FilterAction::filterData};

enum class NetworkRuleProtocol { any = 0, tcp = 1, udp = 2 };
enum class TrafficDirection { any = 0, inbound = 1, outbound = 2 };

constexpr long rawValue(FilterAction value) {
    return static_cast<long>(value);
}
constexpr long rawValue(NetworkRuleProtocol value) {
    return static_cast<long>(value);
}
constexpr long rawValue(TrafficDirection value) {
    return static_cast<long>(value);
}

// `fromRawValue<E>(raw)`: the case whose raw value is `raw`, or nullopt.
template <class E>
std::optional<E> fromRawValue(long raw);
template <>
std::optional<FilterAction> fromRawValue<FilterAction>(long raw);

std::string_view caseName(FilterAction value);  // "filterData"
std::ostream& operator<<(std::ostream& os, FilterAction value);

// Which traffic a rule is about; absent endpoints and `any` match everything.
struct NetworkRule {
    std::optional<Endpoint> remoteNetwork;
    std::uint32_t remotePrefix = 0;
    std::optional<Endpoint> localNetwork;
    std::uint32_t localPrefix = 0;
    NetworkRuleProtocol protocol = NetworkRuleProtocol::any;
    TrafficDirection direction = TrafficDirection::any;

    bool operator==(const NetworkRule&) const = default;
};

class FilterRule {
public:
    FilterRule(NetworkRule networkRule, FilterAction action)
        : networkRule_(std::move(networkRule)), action_(action) {}
    const NetworkRule& networkRule() const { return networkRule_; }
    FilterAction action() const { return action_; }
    bool operator==(const FilterRule&) const = default;
    std::string description() const;

private:
    NetworkRule networkRule_;
    FilterAction action_;
};

class FilterSettings {
public:
    FilterSettings(std::vector<FilterRule> rules, FilterAction defaultAction)
        : rules_(std::move(rules)), defaultAction_(defaultAction) {}
    const std::vector<FilterRule>& rules() const { return rules_; }
    FilterAction defaultAction() const { return defaultAction_; }
    bool operator==(const FilterSettings&) const = default;
    // "FilterSettings(rules: 0, defaultAction: filterData)"
    std::string description() const;

private:
    std::vector<FilterRule> rules_;
    FilterAction defaultAction_;
};

std::ostream& operator<<(std::ostream& os, const FilterRule& value);
std::ostream& operator<<(std::ostream& os, const FilterSettings& value);

}  // namespace tolvane::platform
