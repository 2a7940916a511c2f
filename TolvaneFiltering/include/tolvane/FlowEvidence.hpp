// FlowEvidence.hpp: `FlowAddress`, a flow's remote address literal in one fixed form, and
// `FlowEvidence`, the two facts every decision about a flow rests on: the remote host name
// and the remote address, each possibly unknown.
//
//   FlowAddress(text)   literal
//   ------------------  ---------
//   "FE80::1%en0"       "fe80::1"     (zone cut, lower case)
//   "2001:DB8::A"       "2001:db8::a"
//   "192.0.2.7"         "192.0.2.7"
//   "%lo0", ""          ""            (nothing is rejected)
//
// The name comes from the flow's URL host, else the socket's reported remote host name, else
// a name-typed remote endpoint; the first source present wins, even when it is empty, and an
// empty name is stored as absent. The address comes only from an address-typed endpoint.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/platform/Flow.hpp>

namespace tolvane {

class FlowAddress {
public:
    // Cuts everything from the first '%' and lower-cases the rest; always succeeds.
    explicit FlowAddress(std::string_view text);

    const std::string& literal() const { return literal_; }
    const std::string& description() const { return literal_; }

    bool operator==(const FlowAddress&) const = default;

private:
    std::string literal_;
};

std::ostream& operator<<(std::ostream& os, const FlowAddress& address);

class FlowEvidence {
public:
    // A present but empty name is stored as absent; everything else is kept as given.
    FlowEvidence(std::optional<std::string> remoteHostname,
                 std::optional<FlowAddress> remoteAddress);

    // What the platform reports about `flow`; never fails.
    static FlowEvidence fromFlow(const platform::FilterFlow& flow);

    const std::optional<std::string>& remoteHostname() const { return remoteHostname_; }
    const std::optional<FlowAddress>& remoteAddress() const { return remoteAddress_; }

    bool operator==(const FlowEvidence&) const = default;

private:
    std::optional<std::string> remoteHostname_;
    std::optional<FlowAddress> remoteAddress_;
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::FlowAddress> {
    std::size_t operator()(const tolvane::FlowAddress& address) const noexcept {
        return std::hash<std::string>{}(address.literal());
    }
};

template <>
struct std::hash<tolvane::FlowEvidence> {
    std::size_t operator()(const tolvane::FlowEvidence& evidence) const noexcept;
};
