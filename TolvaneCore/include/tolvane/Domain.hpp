// Domain.hpp: `Domain`, one validated, lower-case domain name: the unit of everything
// the filter blocks.
//
//   input            Domain::make(input)
//   ---------------  -------------------
//   "Example.COM"    "example.com"
//   "example.com."   "example.com"        (one trailing dot removed)
//   "example.com.."  nullopt              (the second dot leaves an empty label)
//   "bücher.de"      "bücher.de"          (no IDNA conversion here)
//   "1.2.3.4"        "1.2.3.4"            (addresses are the normaliser's business)
//   "a b", "a@b", "example.com:443", "[::1]", ""  nullopt
//
// A label may hold anything but whitespace (Unicode White_Space) and the 22 characters
// /\?#@:[]"'<>,;=&%+!*() , judged per user-perceived character. Ordered by name.
#pragma once

#include <compare>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/JSON.hpp>
#include <vector>

namespace tolvane {

class Domain {
public:
    // The failable constructor: nullopt when `text` is not a domain name.
    static std::optional<Domain> make(std::string_view text);

    const std::string& name() const { return name_; }
    // The name split at dots; slices of name(), valid while this Domain lives.
    std::vector<std::string_view> labels() const;
    // True when this is `other` or lies under it: mail.example.com is within example.com.
    bool isWithin(const Domain& other) const;
    const std::string& description() const { return name_; }

    bool operator==(const Domain&) const = default;
    std::strong_ordering operator<=>(const Domain& other) const { return name_ <=> other.name_; }

private:
    friend class DomainNormalizer;  // builds results from names it has already validated
    explicit Domain(std::string name) : name_(std::move(name)) {}

    std::string name_;
};

std::ostream& operator<<(std::ostream& os, const Domain& domain);

// JSON form: the bare name string. Decoding normalises ("Example.com." reads as
// example.com) and refuses an invalid name with dataCorrupted "Not a valid domain name: <text>".
TOLVANE_DECLARE_JSON_CODING(Domain);

}  // namespace tolvane

template <>
struct std::hash<tolvane::Domain> {
    std::size_t operator()(const tolvane::Domain& domain) const noexcept {
        return std::hash<std::string>{}(domain.name());
    }
};
