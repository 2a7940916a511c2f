#include <ostream>
#include <tolvane/platform/FilterSettings.hpp>

namespace tolvane::platform {

template <>
std::optional<FilterAction> fromRawValue<FilterAction>(long raw) {
    for (FilterAction action : allFilterActionCases) {
        if (rawValue(action) == raw) return action;
    }
    return std::nullopt;
}

std::string_view caseName(FilterAction value) {
    switch (value) {
        case FilterAction::invalid:
            return "invalid";
        case FilterAction::allow:
            return "allow";
        case FilterAction::drop:
            return "drop";
        case FilterAction::remediate:
            return "remediate";
        case FilterAction::filterData:
            return "filterData";
    }
    return "invalid";
}

std::ostream& operator<<(std::ostream& os, FilterAction value) {
    return os << caseName(value);
}

std::string FilterRule::description() const {
    std::string text = "FilterRule(action: ";
    text += caseName(action_);
    text += ", protocol: " + std::to_string(rawValue(networkRule_.protocol));
    text += ", direction: " + std::to_string(rawValue(networkRule_.direction)) + ")";
    return text;
}

std::string FilterSettings::description() const {
    return "FilterSettings(rules: " + std::to_string(rules_.size()) +
           ", defaultAction: " + std::string(caseName(defaultAction_)) + ")";
}

std::ostream& operator<<(std::ostream& os, const FilterRule& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const FilterSettings& value) {
    return os << value.description();
}

}  // namespace tolvane::platform
