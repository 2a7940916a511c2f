#include <ostream>
#include <tolvane/platform/FilterVerdict.hpp>

namespace tolvane::platform {

namespace {
const char* boolText(bool value) {
    return value ? "true" : "false";
}
}  // namespace

std::string_view caseName(NewFlowVerdict::Kind kind) {
    switch (kind) {
        case NewFlowVerdict::Kind::allow:
            return "allow";
        case NewFlowVerdict::Kind::drop:
            return "drop";
        case NewFlowVerdict::Kind::filterData:
            return "filterData";
    }
    return "allow";
}

std::string_view caseName(DataVerdict::Kind kind) {
    switch (kind) {
        case DataVerdict::Kind::allow:
            return "allow";
        case DataVerdict::Kind::drop:
            return "drop";
        case DataVerdict::Kind::data:
            return "data";
    }
    return "allow";
}

std::string NewFlowVerdict::description() const {
    switch (kind_) {
        case Kind::allow:
            return "allowVerdict";
        case Kind::drop:
            return "dropVerdict";
        case Kind::filterData:
            break;
    }
    return std::string("filterDataVerdict(filterInbound: ") + boolText(filterInbound_) +
           ", peekInboundBytes: " + std::to_string(peekInboundBytes_) +
           ", filterOutbound: " + boolText(filterOutbound_) +
           ", peekOutboundBytes: " + std::to_string(peekOutboundBytes_) + ")";
}

std::string DataVerdict::description() const {
    switch (kind_) {
        case Kind::allow:
            return "allowVerdict";
        case Kind::drop:
            return "dropVerdict";
        case Kind::data:
            break;
    }
    return "dataVerdict(passBytes: " + std::to_string(passBytes_) +
           ", peekBytes: " + std::to_string(peekBytes_) + ")";
}

std::ostream& operator<<(std::ostream& os, const NewFlowVerdict& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const DataVerdict& value) {
    return os << value.description();
}

}  // namespace tolvane::platform
