// FilterVerdict.hpp: the six answers a filter provider gives the platform: three for a new
// flow, three for a chunk of a held flow's data (or the end of one of its directions).
//
//   NewFlowVerdict::allowVerdict()                        "allowVerdict"
//   NewFlowVerdict::dropVerdict()                         "dropVerdict"
//   NewFlowVerdict::filterDataVerdict(false, 0, true, 4096)
//       "filterDataVerdict(filterInbound: false, peekInboundBytes: 0, filterOutbound: true, peekOutboundBytes: 4096)"
//   DataVerdict::allowVerdict(), DataVerdict::dropVerdict()
//   DataVerdict::dataVerdict(1000, 4096)                  "dataVerdict(passBytes: 1000, peekBytes: 4096)"
//
// Plain values: building one never allocates. Fields that a kind does not have read as
// false and 0.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tolvane::platform {

class NewFlowVerdict {
public:
    enum class Kind { allow, drop, filterData };

    static constexpr NewFlowVerdict allowVerdict() { return NewFlowVerdict(Kind::allow); }
    static constexpr NewFlowVerdict dropVerdict() { return NewFlowVerdict(Kind::drop); }
    static constexpr NewFlowVerdict filterDataVerdict(bool filterInbound,
                                                      std::size_t peekInboundBytes,
                                                      bool filterOutbound,
                                                      std::size_t peekOutboundBytes) {
        NewFlowVerdict v(Kind::filterData);
        v.filterInbound_ = filterInbound;
        v.peekInboundBytes_ = peekInboundBytes;
        v.filterOutbound_ = filterOutbound;
        v.peekOutboundBytes_ = peekOutboundBytes;
        return v;
    }

    constexpr Kind kind() const { return kind_; }
    constexpr bool filterInbound() const { return filterInbound_; }
    constexpr std::size_t peekInboundBytes() const { return peekInboundBytes_; }
    constexpr bool filterOutbound() const { return filterOutbound_; }
    constexpr std::size_t peekOutboundBytes() const { return peekOutboundBytes_; }

    constexpr bool operator==(const NewFlowVerdict&) const = default;
    std::string description() const;

private:
    constexpr explicit NewFlowVerdict(Kind kind) : kind_(kind) {}
    Kind kind_;
    bool filterInbound_ = false;
    std::size_t peekInboundBytes_ = 0;
    bool filterOutbound_ = false;
    std::size_t peekOutboundBytes_ = 0;
};

class DataVerdict {
public:
    enum class Kind { allow, drop, data };

    static constexpr DataVerdict allowVerdict() { return DataVerdict(Kind::allow); }
    static constexpr DataVerdict dropVerdict() { return DataVerdict(Kind::drop); }
    // Let `passBytes` bytes through and hand over the data up to `peekBytes` bytes ahead.
    static constexpr DataVerdict dataVerdict(std::size_t passBytes, std::size_t peekBytes) {
        DataVerdict v(Kind::data);
        v.passBytes_ = passBytes;
        v.peekBytes_ = peekBytes;
        return v;
    }

    constexpr Kind kind() const { return kind_; }
    constexpr std::size_t passBytes() const { return passBytes_; }
    constexpr std::size_t peekBytes() const { return peekBytes_; }

    constexpr bool operator==(const DataVerdict&) const = default;
    std::string description() const;

private:
    constexpr explicit DataVerdict(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::size_t passBytes_ = 0;
    std::size_t peekBytes_ = 0;
};

std::string_view caseName(NewFlowVerdict::Kind kind);  // "allow", "drop", "filterData"
std::string_view caseName(DataVerdict::Kind kind);     // "allow", "drop", "data"
std::ostream& operator<<(std::ostream& os, const NewFlowVerdict& value);
std::ostream& operator<<(std::ostream& os, const DataVerdict& value);

}  // namespace tolvane::platform
