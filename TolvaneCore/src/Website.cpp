#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <random>
#include <sstream>
#include <tolvane/Hashing.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/Website.hpp>
#include <vector>

namespace tolvane {

namespace {

// Fills `bytes` from the kernel's random source. getrandom blocks only until the pool is
// first initialised; random_device reads the same source where the call is unavailable.
void fillRandom(Group::ID::Bytes& bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled == bytes.size()) return;
    std::random_device device;
    for (std::size_t i = filled; i < bytes.size(); i += 4) {
        const std::uint32_t word = device();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(4, bytes.size() - i));
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isHyphenPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// Sorted texts, so descriptions do not depend on set order.
template <class Set>
std::string sortedList(const Set& set) {
    std::vector<std::string> texts;
    for (const auto& element : set) texts.push_back(element.description());
    std::sort(texts.begin(), texts.end());
    std::string out;
    for (std::size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + texts[i];
    return out;
}

}  // namespace

Group::ID Group::ID::random() {
    Bytes bytes{};
    fillRandom(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return ID(bytes);
}

std::optional<Group::ID> Group::ID::make(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int high = hexValue(text[i]);
        const int low = hexValue(text[++i]);
        if (high < 0 || low < 0 || isHyphenPosition(i)) return std::nullopt;
        bytes[byte++] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return ID(bytes);
}

std::string Group::ID::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < rawValue_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[rawValue_[i] >> 4];
        text += digits[rawValue_[i] & 0x0F];
    }
    return text;
}

std::string Group::description() const {
    return "Group(" + id_.uuidString() + ", \"" + name_ + "\")";
}

std::string Website::description() const {
    return domain_.name() + " [" + sortedList(groups_) + "]";
}

bool CommitmentSelection::selects(const Website& website) const {
    if (!groups_) return true;
    const GroupIDSet& carried = website.groups();
    // Probe the smaller set in the larger.
    if (carried.size() <= groups_->count()) {
        return std::any_of(carried.begin(), carried.end(),
                           [&](const Group::ID& id) { return groups_->contains(id); });
    }
    return std::any_of(groups_->begin(), groups_->end(),
                       [&](const Group::ID& id) { return carried.contains(id); });
}

std::string CommitmentSelection::description() const {
    if (!groups_) return "allWebsites";
    return "groups(" + sortedList(groups_->elements()) + ")";
}

std::ostream& operator<<(std::ostream& os, const Group::ID& id) {
    return os << id.uuidString();
}
std::ostream& operator<<(std::ostream& os, const Group& group) {
    return os << group.description();
}
std::ostream& operator<<(std::ostream& os, const Website& website) {
    return os << website.description();
}
std::ostream& operator<<(std::ostream& os, const CommitmentSelection& selection) {
    return os << selection.description();
}

void JSONCoding<Group::ID>::encode(nlohmann::ordered_json& out, const Group::ID& value) {
    out = value.uuidString();
}

Group::ID JSONCoding<Group::ID>::decode(const nlohmann::json& in,
                                        const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    auto id = Group::ID::make(decoder.string("UUID"));
    if (!id) {
        decoder.fail(DecodingError::Kind::dataCorrupted,
                     "Attempted to decode UUID from invalid UUID string.");
    }
    return *id;
}

void JSONCoding<Group>::encode(nlohmann::ordered_json& out, const Group& value) {
    out = nlohmann::ordered_json::object();
    JSONCoding<Group::ID>::encode(out["id"], value.id());
    out["name"] = value.name();
}

Group JSONCoding<Group>::decode(const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder object = coding::Decoder(in, path).object("Group");
    const auto id = object.required("id");
    return Group(JSONCoding<Group::ID>::decode(id.value(), id.path()),
                 object.required("name").string());
}

void JSONCoding<Website>::encode(nlohmann::ordered_json& out, const Website& value) {
    out = nlohmann::ordered_json::object();
    JSONCoding<Domain>::encode(out["domain"], value.domain());
    auto& groups = out["groups"] = nlohmann::ordered_json::array();
    for (const Group::ID& id : value.groups()) groups.push_back(id.uuidString());
}

Website JSONCoding<Website>::decode(const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder object = coding::Decoder(in, path).object("Website");
    const auto domain = object.required("domain");
    Domain decodedDomain = JSONCoding<Domain>::decode(domain.value(), domain.path());
    GroupIDSet groups;
    for (const auto& element : object.required("groups").array("Set<Group.ID>")) {
        groups.insert(JSONCoding<Group::ID>::decode(element.value(), element.path()));
    }
    return Website(std::move(decodedDomain), std::move(groups));
}

template <class Element>
void JSONCoding<NonEmptySet<Element>>::encode(nlohmann::ordered_json& out,
                                              const NonEmptySet<Element>& value) {
    out = nlohmann::ordered_json::array();
    for (const Element& element : value) {
        JSONCoding<Element>::encode(out.emplace_back(), element);
    }
}

template <class Element>
NonEmptySet<Element> JSONCoding<NonEmptySet<Element>>::decode(const nlohmann::json& in,
                                                              const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    std::vector<Element> elements;
    for (const auto& element : decoder.array("NonEmptySet")) {
        elements.push_back(JSONCoding<Element>::decode(element.value(), element.path()));
    }
    auto set = NonEmptySet<Element>::make(elements);
    if (!set) {
        decoder.fail(DecodingError::Kind::dataCorrupted,
                     "NonEmptySet cannot be decoded from an empty collection");
    }
    return *std::move(set);
}

template struct JSONCoding<NonEmptySet<Group::ID>>;
template struct JSONCoding<NonEmptySet<Domain>>;

void JSONCoding<CommitmentSelection>::encode(nlohmann::ordered_json& out,
                                             const CommitmentSelection& value) {
    if (const auto& groups = value.selectedGroups()) {
        nlohmann::ordered_json payload;
        JSONCoding<NonEmptySet<Group::ID>>::encode(payload, *groups);
        out = coding::encodeCase("groups", std::move(payload));
    } else {
        out = coding::encodeCase("allWebsites");
    }
}

CommitmentSelection JSONCoding<CommitmentSelection>::decode(const nlohmann::json& in,
                                                            const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    if (coding::decodeCaseName(decoder, "CommitmentSelection", {"groups", "allWebsites"}) == 1) {
        decoder.required("allWebsites").object("CommitmentSelection.allWebsites");
        return CommitmentSelection::allWebsites();
    }
    const auto payload =
        decoder.required("groups").object("CommitmentSelection.groups").required("_0");
    return CommitmentSelection::groups(
        JSONCoding<NonEmptySet<Group::ID>>::decode(payload.value(), payload.path()));
}

TOLVANE_INSTANTIATE_JSON(Group::ID);
TOLVANE_INSTANTIATE_JSON(Group);
TOLVANE_INSTANTIATE_JSON(Website);
TOLVANE_INSTANTIATE_JSON(NonEmptySet<Group::ID>);
TOLVANE_INSTANTIATE_JSON(NonEmptySet<Domain>);
TOLVANE_INSTANTIATE_JSON(CommitmentSelection);

}  // namespace tolvane

std::size_t std::hash<tolvane::Group::ID>::operator()(const tolvane::Group::ID& id) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, id.rawValue().data(), 8);
    std::memcpy(&low, id.rawValue().data() + 8, 8);
    return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
}

std::size_t std::hash<tolvane::Group>::operator()(const tolvane::Group& group) const noexcept {
    const std::size_t h = std::hash<tolvane::Group::ID>{}(group.id());
    return tolvane::hashCombine(h, std::hash<std::string>{}(group.name()));
}

std::size_t std::hash<tolvane::Website>::operator()(
    const tolvane::Website& website) const noexcept {
    const std::size_t h = std::hash<tolvane::Domain>{}(website.domain());
    return tolvane::hashCombine(h, tolvane::unorderedHash(website.groups()));
}

std::size_t std::hash<tolvane::CommitmentSelection>::operator()(
    const tolvane::CommitmentSelection& selection) const noexcept {
    const auto& groups = selection.selectedGroups();
    return groups ? std::hash<tolvane::NonEmptySet<tolvane::Group::ID>>{}(*groups) + 1 : 0;
}
