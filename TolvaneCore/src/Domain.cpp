#include <ostream>
#include <tolvane/Domain.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {
constexpr std::string_view kExcluded = "/\\?#@:[]\"'<>,;=&%+!*()";

bool isExcludedASCII(unsigned char c) {
    // ASCII White_Space is TAB..CR and SPACE.
    return (c >= 0x09 && c <= 0x0D) || c == ' ' ||
           kExcluded.find(static_cast<char>(c)) != kExcluded.npos;
}

bool validASCII(std::string_view name) {
    bool labelEmpty = true;
    for (unsigned char c : name) {
        if (c == '.') {
            if (labelEmpty) return false;
            labelEmpty = true;
            continue;
        }
        if (isExcludedASCII(c)) return false;
        labelEmpty = false;
    }
    return !labelEmpty;
}

// Judged per grapheme cluster, as a person sees characters: a dot or an excluded character
// carrying a combining mark is a different character.
bool validUnicode(std::string_view name) {
    bool labelEmpty = true;
    for (std::string_view cluster : unicode::graphemeClusters(name)) {
        if (cluster == ".") {
            if (labelEmpty) return false;
            labelEmpty = true;
            continue;
        }
        if (unicode::isWhiteSpace(unicode::firstScalar(cluster))) return false;
        if (cluster.size() == 1 && kExcluded.find(cluster[0]) != kExcluded.npos) return false;
        // U+037E GREEK QUESTION MARK is canonically the same character as ';'.
        if (cluster == "\u037E") return false;
        labelEmpty = false;
    }
    return !labelEmpty;
}

// Whether the name ends with a cluster that is exactly ".".
bool endsWithDot(std::string_view name, bool ascii) {
    if (name.empty() || name.back() != '.') return false;
    if (ascii) return true;
    auto clusters = unicode::graphemeClusters(name);
    return clusters.back() == ".";
}
}  // namespace

std::optional<Domain> Domain::make(std::string_view text) {
    std::string name = unicode::lowercased(text);
    const bool ascii = unicode::isASCII(name);
    if (endsWithDot(name, ascii)) name.pop_back();
    if (name.empty()) return std::nullopt;
    if (!(ascii ? validASCII(name) : validUnicode(name))) return std::nullopt;
    return Domain(std::move(name));
}

std::vector<std::string_view> Domain::labels() const {
    // Dots as make() saw them: in a non-ASCII name a dot carrying a combining mark is another
    // character and stays inside its label.
    const std::string_view name = name_;
    std::vector<std::size_t> dots;
    if (unicode::isASCII(name)) {
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (name[i] == '.') dots.push_back(i);
        }
    } else {
        for (std::string_view cluster : unicode::graphemeClusters(name)) {
            if (cluster == ".") {
                dots.push_back(static_cast<std::size_t>(cluster.data() - name.data()));
            }
        }
    }
    dots.push_back(name.size());
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t dot : dots) {
        if (dot > start) out.push_back(name.substr(start, dot - start));
        start = dot + 1;
    }
    return out;
}

bool Domain::isWithin(const Domain& other) const {
    const std::string& outer = other.name_;
    if (name_ == outer) return true;
    return name_.size() > outer.size() && name_.ends_with(outer) &&
           name_[name_.size() - outer.size() - 1] == '.';
}

std::ostream& operator<<(std::ostream& os, const Domain& domain) {
    return os << domain.name();
}

void JSONCoding<Domain>::encode(nlohmann::ordered_json& out, const Domain& value) {
    out = value.name();
}

Domain JSONCoding<Domain>::decode(const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    std::string text = decoder.string("Domain");
    auto domain = Domain::make(text);
    if (!domain)
        decoder.fail(DecodingError::Kind::dataCorrupted, "Not a valid domain name: " + text);
    return *std::move(domain);
}

TOLVANE_INSTANTIATE_JSON(Domain);

}  // namespace tolvane
