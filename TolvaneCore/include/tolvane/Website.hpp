// Website.hpp: what the user can choose to block. `Website` is a domain the user keeps in a
// list, tagged with `Group` identifiers; `CommitmentSelection` picks every website or the
// websites of some groups; `NonEmptySet` makes an empty choice of groups unrepresentable.
//
//   websites: a.com {G1}, b.com {G2}, c.com {}
//   selection                                     resolvedDomains(websites)
//   --------------------------------------------  -------------------------
//   CommitmentSelection::allWebsites()            {a.com, b.com, c.com}
//   CommitmentSelection::groups({G1})             {a.com}
//   CommitmentSelection::groups({G1, G2})         {a.com, b.com}
//   CommitmentSelection::groups({G3})             {}
//
// JSON forms:
//   Group::ID            "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" (read in either case)
//   Group                {"id":"E621...","name":"News"}
//   Website              {"domain":"a.com","groups":["E621..."]}
//   NonEmptySet<E>       [e, ...] (never empty)
//   CommitmentSelection  {"allWebsites":{}} or {"groups":{"_0":["E621..."]}}
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <tolvane/Domain.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/Scope.hpp>
#include <unordered_set>
#include <utility>

namespace tolvane {

// A named tag with an identifier that stays fixed while the name may change.
class Group {
public:
    // A random (version 4) UUID.
    class ID {
    public:
        using Bytes = std::array<std::uint8_t, 16>;

        // Wraps the given 128 bits unchanged.
        explicit ID(const Bytes& rawValue) : rawValue_(rawValue) {}
        // A fresh identifier from the kernel's random source.
        static ID random();
        // Parses the 8-4-4-4-12 hexadecimal form in either case; nullopt for anything else.
        static std::optional<ID> make(std::string_view text);

        const Bytes& rawValue() const { return rawValue_; }
        // The canonical upper-case form, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
        std::string uuidString() const;
        std::string description() const { return uuidString(); }

        bool operator==(const ID&) const = default;

    private:
        Bytes rawValue_;
    };

    Group(ID id, std::string name) : id_(id), name_(std::move(name)) {}

    const ID& id() const { return id_; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    std::string description() const;

    bool operator==(const Group&) const = default;

private:
    ID id_;
    std::string name_;
};

}  // namespace tolvane

// Needed before any set of identifiers below.
template <>
struct std::hash<tolvane::Group::ID> {
    std::size_t operator()(const tolvane::Group::ID& id) const noexcept;
};
template <>
struct std::hash<tolvane::Group> {
    std::size_t operator()(const tolvane::Group& group) const noexcept;
};

namespace tolvane {

using GroupIDSet = std::unordered_set<Group::ID>;

// One domain in the user's list, identified by that domain, with the groups it belongs to.
class Website {
public:
    Website(Domain domain, GroupIDSet groups)
        : domain_(std::move(domain)), groups_(std::move(groups)) {}

    const Domain& domain() const { return domain_; }
    // The identity of a website is its domain.
    const Domain& id() const { return domain_; }
    const GroupIDSet& groups() const { return groups_; }
    void setGroups(GroupIDSet groups) { groups_ = std::move(groups); }
    std::string description() const;

    bool operator==(const Website&) const = default;

private:
    Domain domain_;
    GroupIDSet groups_;
};

// A set that always holds at least one element: it can be built only with one, and nothing
// removes elements.
//
//   NonEmptySet<int>(1).count()                   1
//   NonEmptySet<int>(1, 1, 2).count()             2
//   NonEmptySet<int>::make(std::vector<int>{})    nullopt
// REQUIRES: Element has == and a std::hash specialisation.
template <class Element>
class NonEmptySet {
public:
    using Storage = std::unordered_set<Element>;
    using value_type = Element;
    using const_iterator = typename Storage::const_iterator;
    using iterator = const_iterator;

    // The further elements form the set, then the first is inserted.
    template <class... Rest>
    requires(std::convertible_to<Rest, Element>&&...) explicit NonEmptySet(Element first,
                                                                           Rest&&... rest)
        : storage_{Element(std::forward<Rest>(rest))...} {
        storage_.insert(std::move(first));
    }

    // From any sequence of elements; nullopt when it yields none.
    template <std::ranges::input_range Elements>
    requires std::convertible_to<std::ranges::range_reference_t<Elements>, Element>
    static std::optional<NonEmptySet> make(Elements&& elements) {
        Storage storage;
        for (auto&& element : elements) storage.insert(Element(element));
        return fromStorage(std::move(storage));
    }
    static std::optional<NonEmptySet> make(std::initializer_list<Element> elements) {
        return fromStorage(Storage(elements));
    }

    const Storage& elements() const { return storage_; }
    std::size_t count() const { return storage_.size(); }
    bool contains(const Element& element) const { return storage_.contains(element); }
    // Adds `element`; true when it was not already present.
    bool insert(Element element) { return storage_.insert(std::move(element)).second; }

    const_iterator begin() const { return storage_.begin(); }
    const_iterator end() const { return storage_.end(); }

    bool operator==(const NonEmptySet&) const = default;

private:
    explicit NonEmptySet(Storage storage) : storage_(std::move(storage)) {}
    static std::optional<NonEmptySet> fromStorage(Storage storage) {
        if (storage.empty()) return std::nullopt;
        return NonEmptySet(std::move(storage));
    }

    Storage storage_;
};

// Every website, or the websites of at least one of some groups.
class CommitmentSelection {
public:
    static CommitmentSelection groups(NonEmptySet<Group::ID> groups) {
        return CommitmentSelection(std::move(groups));
    }
    static CommitmentSelection allWebsites() { return CommitmentSelection(std::nullopt); }

    bool isAllWebsites() const { return !groups_; }
    // The chosen groups; nullopt for allWebsites.
    const std::optional<NonEmptySet<Group::ID>>& selectedGroups() const { return groups_; }

    // Whether `website` is chosen: always for allWebsites, otherwise when it carries one of
    // the chosen groups.
    bool selects(const Website& website) const;

    // The domains of the chosen websites; traverses `websites` once. May be empty.
    template <std::ranges::input_range Websites>
    requires std::same_as<std::remove_cvref_t<std::ranges::range_reference_t<Websites>>, Website>
        DomainSet resolvedDomains(Websites&& websites)
    const {
        DomainSet domains;
        for (const Website& website : websites) {
            if (selects(website)) domains.insert(website.domain());
        }
        return domains;
    }

    std::string description() const;

    bool operator==(const CommitmentSelection&) const = default;

private:
    explicit CommitmentSelection(std::optional<NonEmptySet<Group::ID>> groups)
        : groups_(std::move(groups)) {}

    std::optional<NonEmptySet<Group::ID>> groups_;
};

std::ostream& operator<<(std::ostream& os, const Group::ID& id);
std::ostream& operator<<(std::ostream& os, const Group& group);
std::ostream& operator<<(std::ostream& os, const Website& website);
std::ostream& operator<<(std::ostream& os, const CommitmentSelection& selection);

TOLVANE_DECLARE_JSON_CODING(Group::ID);
TOLVANE_DECLARE_JSON_CODING(Group);
TOLVANE_DECLARE_JSON_CODING(Website);
TOLVANE_DECLARE_JSON_CODING(CommitmentSelection);

// A JSON array of the elements. Decoding collapses repeats and refuses an empty array with
// dataCorrupted "NonEmptySet cannot be decoded from an empty collection". Defined for
// Group::ID and Domain elements.
template <class Element>
struct JSONCoding<NonEmptySet<Element>> {
    static void encode(nlohmann::ordered_json& out, const NonEmptySet<Element>& value);
    static NonEmptySet<Element> decode(const nlohmann::json& in,
                                       const std::vector<CodingKey>& path);
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::Website> {
    std::size_t operator()(const tolvane::Website& website) const noexcept;
};
template <class Element>
struct std::hash<tolvane::NonEmptySet<Element>> {
    std::size_t operator()(const tolvane::NonEmptySet<Element>& set) const noexcept {
        return tolvane::unorderedHash(set.elements());
    }
};
template <>
struct std::hash<tolvane::CommitmentSelection> {
    std::size_t operator()(const tolvane::CommitmentSelection& selection) const noexcept;
};
