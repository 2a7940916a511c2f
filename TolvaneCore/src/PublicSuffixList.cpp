#include <unicode/uidna.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <tolvane/PublicSuffixList.hpp>
#include <tolvane/ResourceBundle.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {

// FNV-1a over the bytes read from the right, so that the hash of every suffix of a host
// falls out of one pass over it. Runs of dots count as one dot and dots at either end count
// for nothing: a host with empty labels is judged by its labels joined with single dots.
constexpr std::uint64_t kOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001b3ULL;

inline std::uint64_t step(std::uint64_t h, unsigned char c) {
    return (h ^ c) * kPrime;
}

inline std::uint64_t finish(std::uint64_t h) {
    h ^= h >> 31;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
}

// The hash and length of the name's labels joined with single dots.
struct Shape {
    std::uint64_t hash;
    std::size_t length;
};

Shape shapeOf(std::string_view name) {
    std::uint64_t h = kOffset;
    std::size_t length = 0;
    bool pendingDot = false;
    for (auto it = name.rbegin(); it != name.rend(); ++it) {
        const auto c = static_cast<unsigned char>(*it);
        if (c == '.') {
            if (length > 0) pendingDot = true;
            continue;
        }
        if (pendingDot) {
            h = step(h, '.');
            ++length;
            pendingDot = false;
        }
        h = step(h, c);
        ++length;
    }
    return {finish(h), length};
}

// Whether `candidate` (a slice that begins and ends with a label) reads as `stored` once its
// runs of dots are single dots. The caller has checked that the joined lengths agree.
bool equalJoined(std::string_view stored, std::string_view candidate) {
    if (candidate.size() == stored.size()) {
        return std::memcmp(stored.data(), candidate.data(), stored.size()) == 0;
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < candidate.size(); ++i) {
        const char c = candidate[i];
        if (c == '.' && i > 0 && candidate[i - 1] == '.') continue;
        if (j >= stored.size() || stored[j] != c) return false;
        ++j;
    }
    return j == stored.size();
}

constexpr std::uint8_t bit(PublicSuffixList::RuleKind kind) {
    return static_cast<std::uint8_t>(kind);
}
// Beside the three rule kinds, a table entry may mark a proper suffix of some rule.
constexpr std::uint8_t kLongerRules = 8;
constexpr std::uint64_t kKindMask = 0xFF;

int kindIndex(PublicSuffixList::RuleKind kind) {
    switch (kind) {
        case PublicSuffixList::RuleKind::exact:
            return 0;
        case PublicSuffixList::RuleKind::wildcardParent:
            return 1;
        case PublicSuffixList::RuleKind::exception:
            return 2;
    }
    return 0;
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int64_t>(text.size());
    int64_t i = 0;
    while (i < length) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        // U8_NEXT takes 32-bit offsets; step through in windows no longer than that.
        const int32_t window = static_cast<int32_t>(std::min<int64_t>(length - i, INT32_MAX));
        int32_t at = 0;
        UChar32 c;
        U8_NEXT(bytes + i, at, window, c);
        if (c < 0) return false;
        i += at;
    }
    return true;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
        text.append(buffer, n);
        if (n < sizeof buffer) break;
    }
    if (std::ferror(file.get())) return std::nullopt;
    return text;
}

// The ASCII answer of asciiCompatibleHost when ICU would give it unchanged but for case:
// letters, digits, "-" and "." only, labels of 1 to 63 bytes (one empty last label allowed,
// the root), no "-" at either end of a label and no "--" in its third and fourth places
// (which is where "xn--" Punycode starts), at most 253 bytes before a trailing dot.
// Anything else is left to ICU.
std::optional<std::string> asciiFastPath(std::string_view name, bool& handled) {
    handled = false;
    std::string_view body = name;
    if (!body.empty() && body.back() == '.') body.remove_suffix(1);
    if (body.empty() || body.size() > 253) return std::nullopt;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= body.size(); ++i) {
        if (i < body.size() && body[i] != '.') {
            const auto c = static_cast<unsigned char>(body[i]);
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-')) {
                return std::nullopt;
            }
            continue;
        }
        const std::string_view label = body.substr(labelStart, i - labelStart);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return std::nullopt;
        }
        if (label.size() >= 4 && label[2] == '-' && label[3] == '-') return std::nullopt;
        labelStart = i + 1;
    }
    handled = true;
    std::string out(name);
    for (char& c : out) c = unicode::asciiLower(c);
    return out;
}

// The characters that UTS #46 maps to "." under the STD3 rules: ".", U+3002, U+FF0E and
// U+FF61. Every one is a dot of the result, and a result with more than 127 dots is longer
// than 254 bytes or has an empty label, so it is an error; counting first spares ICU such
// names, on which it takes time quadratic in the number of labels.
std::size_t labelSeparators(std::string_view name) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c == '.') {
            ++count;
        } else if ((c == 0xE3 || c == 0xEF) && i + 2 < name.size()) {
            const auto b1 = static_cast<unsigned char>(name[i + 1]);
            const auto b2 = static_cast<unsigned char>(name[i + 2]);
            if ((c == 0xE3 && b1 == 0x80 && b2 == 0x82) ||
                (c == 0xEF && b1 == 0xBC && b2 == 0x8E) ||
                (c == 0xEF && b1 == 0xBD && b2 == 0xA1)) {
                ++count;
            }
        }
    }
    return count;
}

const UIDNA* uts46() {
    // Immutable once opened, so one instance serves every thread; kept for the process.
    static const UIDNA* idna = [] {
        UErrorCode status = U_ZERO_ERROR;
        UIDNA* opened = uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_USE_STD3_RULES |
                                            UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ,
                                        &status);
        return U_SUCCESS(status) ? opened : nullptr;
    }();
    return idna;
}

}  // namespace

namespace detail {

std::optional<std::string> asciiCompatibleHostThroughIDNA(std::string_view name) {
    const UIDNA* idna = uts46();
    if (!idna || name.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    if (labelSeparators(name) > 127) return std::nullopt;
    // A valid result is at most 254 bytes (253 and a trailing dot); a longer one is an
    // error anyway, so the overflow of this buffer can be taken as the answer.
    char out[256];
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        uidna_nameToASCII_UTF8(idna, name.data(), static_cast<int32_t>(name.size()), out,
                               static_cast<int32_t>(sizeof out), &info, &status);
    if (U_FAILURE(status) || info.errors != 0 || length <= 0 ||
        length > static_cast<int32_t>(sizeof out)) {
        return std::nullopt;
    }
    return std::string(out, static_cast<std::size_t>(length));
}

}  // namespace detail

std::optional<std::string> asciiCompatibleHost(std::string_view name) {
    bool handled = false;
    auto fast = asciiFastPath(name, handled);
    if (handled) return fast;
    return detail::asciiCompatibleHostThroughIDNA(name);
}

// MARK: - Parsing

namespace {

// Calls `body` with each line of `text`; LF, CR, CRLF, U+2028 and U+2029 end a line.
template <class Body>
void forEachLine(std::string_view text, Body body) {
    std::size_t start = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t breakLength = 0;
        if (c == '\n') {
            breakLength = 1;
        } else if (c == '\r') {
            breakLength = (i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
        } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            breakLength = 3;
        }
        if (breakLength == 0) {
            ++i;
            continue;
        }
        body(text.substr(start, i - start));
        i += breakLength;
        start = i;
    }
    if (start < n) body(text.substr(start));
}

}  // namespace

struct PublicSuffixList::Rules {
    // One name of the open-addressing table: its hash with the low byte replaced by its
    // kind bits (0 marks an empty slot), and where its text lies in names.
    struct Slot {
        std::uint64_t word = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    struct Suffix {
        std::size_t begin;
        std::size_t end;
        bool wholeHost;  // fewer than two labels: the host itself is the answer
    };
    struct Inserted {
        bool hadKinds;         // the slot held all the given kinds already
        std::uint32_t offset;  // where the slot's text lies
    };
    // A candidate found in the table: its kinds, and where its stored text ends in names.
    struct Found {
        std::uint8_t kinds = 0;
        std::size_t storedEnd = 0;
    };

    void insertRule(std::string_view name, RuleKind kind, std::vector<std::uint64_t>& scratch);
    Inserted insertSlot(std::uint64_t hash, std::uint32_t offset, std::uint32_t length,
                        std::uint8_t kinds);
    void grow();
    Found find(std::string_view candidate, std::size_t labelLength, std::size_t joinedLength,
               std::uint64_t hash, const Found& previous) const;
    Suffix findSuffix(std::string_view host) const;

    std::string names;  // every stored rule name, back to back
    std::vector<Slot> slots;
    std::uint64_t mask = 0;
    std::size_t used = 0;
    std::size_t longestName = 0;
    std::size_t counts[3] = {0, 0, 0};
};

PublicSuffixList::PublicSuffixList(std::string_view rulesText) {
    auto rules = std::make_shared<Rules>();
    rules->slots.assign(64, Rules::Slot{});
    rules->mask = rules->slots.size() - 1;
    rules->names.reserve(rulesText.size() / 2);
    std::vector<std::uint64_t> scratch;
    forEachLine(rulesText, [&rules, &scratch](std::string_view line) {
        line = unicode::trimmedWhitespace(line, /*horizontalOnly=*/true);
        if (line.empty() || line.starts_with("//")) return;
        const std::string_view token = line.substr(0, line.find(' '));

        std::string lowered;
        if (unicode::isASCII(token)) {
            lowered.assign(token);
            for (char& c : lowered) c = unicode::asciiLower(c);
        } else {
            lowered = unicode::lowercased(token);
        }
        std::string_view name = lowered;
        RuleKind kind = RuleKind::exact;
        if (name.starts_with('!')) {
            name.remove_prefix(1);
            kind = RuleKind::exception;
        } else if (name.starts_with("*.")) {
            name.remove_prefix(2);
            kind = RuleKind::wildcardParent;
        }
        rules->insertRule(name, kind, scratch);
        if (!unicode::isASCII(name)) {
            if (auto ascii = asciiCompatibleHost(name)) rules->insertRule(*ascii, kind, scratch);
        }
    });
    rules_ = std::move(rules);
}

void PublicSuffixList::Rules::insertRule(std::string_view name, RuleKind kind,
                                         std::vector<std::uint64_t>& scratch) {
    // Offsets are 32-bit: a rules text past 4 GiB is not read further.
    if (names.size() + name.size() >= UINT32_MAX) return;
    const auto offset = static_cast<std::uint32_t>(names.size());
    const auto length = static_cast<std::uint32_t>(name.size());
    names.append(name);
    const Shape shape = shapeOf(name);
    const Inserted inserted = insertSlot(shape.hash, offset, length, bit(kind));
    if (!inserted.hadKinds) ++counts[kindIndex(kind)];
    if (inserted.offset != offset) {
        // Stored before, as a rule or as the suffix of one, and so marked already.
        names.resize(offset);
        return;
    }
    longestName = std::max(longestName, shape.length);

    // Mark every proper suffix of the rule (from a dot on), so that a lookup can stop at the
    // first candidate that no rule ends with. A name with empty labels never matches a
    // candidate, so it needs no marks. Longest first: a suffix marked already had its own
    // suffixes marked then, which keeps this linear in the rule's length.
    const std::string_view stored(names.data() + offset, length);
    if (stored.empty() || stored.front() == '.' || stored.back() == '.' ||
        stored.find("..") != std::string_view::npos) {
        return;
    }
    scratch.clear();  // the hash of the suffix after each dot, right to left
    std::uint64_t h = kOffset;
    for (std::size_t i = stored.size(); i-- > 0;) {
        const auto c = static_cast<unsigned char>(stored[i]);
        if (c == '.') scratch.push_back(finish(h));
        h = step(h, c);
    }
    std::size_t dot = 0;
    for (auto it = scratch.rbegin(); it != scratch.rend(); ++it) {
        dot = stored.find('.', dot) + 1;
        const auto suffixOffset = offset + static_cast<std::uint32_t>(dot);
        if (insertSlot(*it, suffixOffset, length - static_cast<std::uint32_t>(dot), kLongerRules)
                .hadKinds) {
            break;
        }
    }
}

// Adds `kinds` to the slot holding the `length` bytes of names at `offset`, making one that
// points there when there is none.
PublicSuffixList::Rules::Inserted PublicSuffixList::Rules::insertSlot(std::uint64_t hash,
                                                                      std::uint32_t offset,
                                                                      std::uint32_t length,
                                                                      std::uint8_t kinds) {
    if ((used + 1) * 3 > slots.size() * 2) grow();
    const std::uint64_t tag = hash & ~kKindMask;
    const char* text = names.data() + offset;
    for (std::uint64_t at = (hash >> 8) & mask;; at = (at + 1) & mask) {
        Slot& slot = slots[at];
        if (slot.word == 0) {
            slot = Slot{tag | kinds, offset, length};
            ++used;
            return {false, offset};
        }
        if ((slot.word & ~kKindMask) == tag && slot.length == length &&
            std::memcmp(names.data() + slot.offset, text, length) == 0) {
            const bool had = (slot.word & kinds) == kinds;
            slot.word |= kinds;
            return {had, slot.offset};
        }
    }
}

void PublicSuffixList::Rules::grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    mask = slots.size() - 1;
    for (const Slot& slot : old) {
        if (slot.word == 0) continue;
        std::uint64_t at = (slot.word >> 8) & mask;
        while (slots[at].word != 0) at = (at + 1) & mask;
        slots[at] = slot;
    }
}

// MARK: - Lookups

// `candidate` is a slice of the host whose joined form is its first label (`labelLength`
// bytes), a dot and the previous candidate. When the previous candidate was found and a slot
// here shares the end of its stored text, only the new label needs comparing: this keeps a
// host that matches a deep chain of rules linear.
PublicSuffixList::Rules::Found PublicSuffixList::Rules::find(std::string_view candidate,
                                                             std::size_t labelLength,
                                                             std::size_t joinedLength,
                                                             std::uint64_t hash,
                                                             const Found& previous) const {
    const std::uint64_t tag = hash & ~kKindMask;
    for (std::uint64_t at = (hash >> 8) & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots[at];
        if (slot.word == 0) return {};
        if ((slot.word & ~kKindMask) != tag || slot.length != joinedLength) continue;
        const char* text = names.data() + slot.offset;
        const std::size_t end = std::size_t{slot.offset} + slot.length;
        const bool equal =
            (previous.kinds != 0 && end == previous.storedEnd)
                ? std::memcmp(text, candidate.data(), labelLength) == 0 && text[labelLength] == '.'
                : equalJoined(std::string_view(text, slot.length), candidate);
        if (equal) return {static_cast<std::uint8_t>(slot.word & kKindMask), end};
    }
}

// Walks the labels from the right; each label closes one candidate suffix, and the longest
// candidate that hits wins. The walk stops at the first candidate that neither ends some
// rule nor is a wildcard parent: no longer candidate can hit after it.
PublicSuffixList::Rules::Suffix PublicSuffixList::Rules::findSuffix(std::string_view host) const {
    std::size_t end = host.size();
    while (end > 0 && host[end - 1] == '.') --end;
    if (end == 0) return {0, host.size(), true};

    std::uint64_t h = kOffset;
    std::size_t joinedLength = 0;
    std::size_t labels = 0;
    bool previousIsWildcardParent = false;
    std::size_t previousBegin = end;
    Suffix best{0, end, false};
    Found previous;
    std::size_t i = end;
    for (;;) {
        if (labels > 0) {
            h = step(h, '.');
            ++joinedLength;
        }
        const std::size_t labelEnd = i;
        while (i > 0 && host[i - 1] != '.') {
            h = step(h, static_cast<unsigned char>(host[i - 1]));
            ++joinedLength;
            --i;
        }
        ++labels;
        const std::size_t begin = i;
        if (labels == 1) best.begin = begin;  // the implicit rule "*"
        previous = joinedLength <= longestName
                       ? find(host.substr(begin, end - begin), labelEnd - begin, joinedLength,
                              finish(h), labels == 1 ? Found{} : previous)
                       : Found{};
        const std::uint8_t kinds = previous.kinds;
        if (kinds & bit(RuleKind::exception)) {
            best.begin = previousBegin;
        } else if (kinds & bit(RuleKind::exact)) {
            best.begin = begin;
        } else if (labels >= 2 && previousIsWildcardParent) {
            best.begin = begin;
        }
        previousIsWildcardParent = (kinds & bit(RuleKind::wildcardParent)) != 0;
        previousBegin = begin;

        while (i > 0 && host[i - 1] == '.') --i;
        if (i == 0) {
            if (labels < 2) return {0, host.size(), true};
            break;
        }
        if ((kinds & (kLongerRules | bit(RuleKind::wildcardParent))) == 0) break;
    }
    return best;
}

std::string_view PublicSuffixList::publicSuffix(std::string_view normalizedHost) const {
    const Rules::Suffix suffix = rules_->findSuffix(normalizedHost);
    if (suffix.wholeHost) return normalizedHost;
    return normalizedHost.substr(suffix.begin, suffix.end - suffix.begin);
}

std::optional<std::string_view> PublicSuffixList::registrableDomain(
    std::string_view normalizedHost) const {
    const Rules::Suffix suffix = rules_->findSuffix(normalizedHost);
    if (suffix.wholeHost) return std::nullopt;
    if (suffix.begin == 0 && suffix.end == normalizedHost.size()) return std::nullopt;
    // The label left of the suffix, if there is one.
    std::size_t i = suffix.begin;
    while (i > 0 && normalizedHost[i - 1] == '.') --i;
    const std::size_t labelEnd = i;
    while (i > 0 && normalizedHost[i - 1] != '.') --i;
    if (i == labelEnd) return std::nullopt;
    return normalizedHost.substr(i, suffix.end - i);
}

bool PublicSuffixList::contains(RuleKind kind, std::string_view name) const {
    const Rules& rules = *rules_;
    const std::uint64_t hash = shapeOf(name).hash;
    const std::uint64_t tag = hash & ~kKindMask;
    for (std::uint64_t at = (hash >> 8) & rules.mask;; at = (at + 1) & rules.mask) {
        const Rules::Slot& slot = rules.slots[at];
        if (slot.word == 0) return false;
        if ((slot.word & ~kKindMask) == tag && slot.length == name.size() &&
            std::memcmp(rules.names.data() + slot.offset, name.data(), name.size()) == 0) {
            return (slot.word & bit(kind)) != 0;
        }
    }
}

std::size_t PublicSuffixList::count(RuleKind kind) const {
    return rules_->counts[kindIndex(kind)];
}

// MARK: - The packaged list

const PublicSuffixList& PublicSuffixList::embedded() {
    static const PublicSuffixList list = [] {
        constexpr std::string_view kMissing =
            "TolvaneCore is missing its bundled public_suffix_list.dat resource";
        const auto path = resources::resourcePath("public_suffix_list", "dat");
        if (!path) resources::fatalError(kMissing);
        const auto text = readFile(*path);
        if (!text || !isValidUTF8(*text)) resources::fatalError(kMissing);
        return PublicSuffixList(*text);
    }();
    return list;
}

}  // namespace tolvane
