// DomainMatcher.hpp: `DomainMatcher`, an immutable set of domain names that answers whether
// a host is one of them or lies under one of them.
//
//   DomainMatcher m(std::vector{*Domain::make("example.com")});
//   host                   m.matches(host)
//   ---------------------  ---------------
//   "example.com"          true
//   "Mail.EXAMPLE.com"     true    (upper case is folded first)
//   "example.com."         true    (one trailing dot ignored)
//   "notexample.com"       false   (never inside a label)
//   "com", "example.com..", "mail.example.com:443", ""   false
//
// A match costs one hash probe per label of the host, whatever the number of names, and
// allocates nothing unless the host holds a non-ASCII upper-case character (or is over 255
// bytes with ASCII capitals): every candidate is a slice of the host, and a suffix's hash is
// built from its labels' hashes, so all suffixes are hashed in one right-to-left pass. Immutable once built, so it
// may be read from any thread; owners replace it as a whole.
#pragma once

#include <cstdint>
#include <ranges>
#include <string>
#include <string_view>
#include <tolvane/Domain.hpp>
#include <vector>

namespace tolvane {

class Scope;

class DomainMatcher {
public:
    // Matches nothing.
    DomainMatcher() = default;

    // From any sequence of Domain; domainNames() keeps the sequence order, duplicates too.
    template <std::ranges::input_range Domains>
    requires std::same_as<std::ranges::range_value_t<Domains>, Domain>
    explicit DomainMatcher(const Domains& domains) {
        for (const Domain& domain : domains) domainNames_.push_back(domain.name());
        buildIndex();
    }

    // Over the scope's domains, in the set's (meaningless) iteration order.
    explicit DomainMatcher(const Scope& scope);

    const std::vector<std::string>& domainNames() const { return domainNames_; }
    bool empty() const { return domainNames_.empty(); }

    bool matches(std::string_view host) const;
    bool matches(const Domain& domain) const { return matches(domain.name()); }

private:
    void buildIndex();
    bool contains(std::string_view candidate, std::uint64_t hash) const;
    bool matchesLower(std::string_view host) const;

    std::vector<std::string> domainNames_;
    // The lookup side: every distinct name once, back to back in `arena_`, name i spanning
    // offsets_[i]..offsets_[i+1]; `slots_` is an open-addressing table of (hash tag << 32 |
    // index + 1), 0 marking an empty slot. Offsets stay valid when the matcher is copied.
    std::string arena_;
    std::vector<std::uint32_t> offsets_;
    std::vector<std::uint64_t> slots_;
    std::uint64_t mask_ = 0;
    std::uint64_t lengths_ = 0;  // bit n set when some name has n bytes (n < 63; 63 = longer)
};

}  // namespace tolvane
