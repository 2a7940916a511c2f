#include <array>
#include <bit>
#include <cstring>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/Scope.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {
constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product =
        static_cast<unsigned __int128>(a ^ kMul) * (b ^ 0xD6E8FEB86659FD93ULL);
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// A label's hash, reading whole words (labels are short, so this is one or two multiplies).
inline std::uint64_t labelHash(const char* p, std::size_t n) {
    std::uint64_t a, b;
    if (n >= 8) {
        std::uint64_t h = n;
        std::size_t i = 0;
        for (; i + 8 < n; i += 8) h = mix(h, load64(p + i));
        a = h;
        b = load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
            (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
            static_cast<unsigned char>(p[n - 1]);
        b = 0;
    } else {
        a = b = 0;
    }
    return mix(a ^ (n << 56), b);
}

// The hash of a suffix from its first label and the hash of the rest (0 for no rest).
inline std::uint64_t extend(std::uint64_t rest, std::uint64_t label) {
    return mix(rest + 0x2D358DCCAA6C78A5ULL, label);
}

// Calls visit(start, hash) for each dot-separated suffix of `name`, shortest first, with the
// suffix's hash built from its labels; stops when visit returns true.
template <class Visit>
inline bool anySuffix(std::string_view name, Visit visit) {
    const char* p = name.data();
    std::uint64_t h = 0;
    std::size_t end = name.size();
    while (true) {
        const void* found = end ? memrchr(p, '.', end) : nullptr;
        const std::size_t start =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - p) + 1 : 0;
        h = extend(h, labelHash(p + start, end - start));
        if (visit(start, h)) return true;
        if (!found) return false;
        end = start - 1;
    }
}

std::uint64_t nameHash(std::string_view name) {
    std::uint64_t hash = 0;
    anySuffix(name, [&](std::size_t start, std::uint64_t h) {
        hash = h;
        return start == 0;
    });
    return hash;
}

inline bool lengthPresent(std::uint64_t lengths, std::size_t n) {
    return (lengths >> (n < 63 ? n : 63)) & 1;
}

// What a host needs before lookup: ASCII capitals present, non-ASCII bytes present.
struct Scan {
    bool upper = false;
    bool high = false;
};
inline Scan scan(std::string_view host) {
    std::uint64_t upper = 0, high = 0;
    std::size_t i = 0;
    const char* p = host.data();
    for (; i + 8 <= host.size(); i += 8) {
        const std::uint64_t w = load64(p + i);
        const std::uint64_t low7 = w & ~kHighs;
        upper |= (low7 + (0x80 - 'A') * kOnes) & ~(low7 + (0x80 - 'Z' - 1) * kOnes) & ~w;
        high |= w;
    }
    for (; i < host.size(); ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        upper |= unicode::isASCIIUpper(c) ? 0x80 : 0;
        high |= c;
    }
    return {(upper & kHighs) != 0, (high & kHighs) != 0};
}
}  // namespace

void DomainMatcher::buildIndex() {
    arena_.clear();
    offsets_.assign(1, 0);
    lengths_ = 0;
    if (domainNames_.empty()) {
        slots_.clear();
        return;
    }
    const std::size_t capacity = std::bit_ceil(domainNames_.size() * 2 + 2);
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (const std::string& name : domainNames_) {
        const std::uint64_t h = nameHash(name);
        if (contains(name, h)) continue;  // duplicates share one slot
        const auto index = static_cast<std::uint32_t>(offsets_.size());
        arena_ += name;
        offsets_.push_back(static_cast<std::uint32_t>(arena_.size()));
        lengths_ |= std::uint64_t{1} << (name.size() < 63 ? name.size() : 63);
        std::uint64_t at = h & mask_;
        while (slots_[at] != 0) at = (at + 1) & mask_;
        slots_[at] = (h & 0xFFFFFFFF00000000ULL) | index;
    }
}

bool DomainMatcher::contains(std::string_view candidate, std::uint64_t hash) const {
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ULL;
    for (std::uint64_t at = hash & mask_;; at = (at + 1) & mask_) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) return false;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const std::uint32_t index = static_cast<std::uint32_t>(slot);
            const std::uint32_t begin = offsets_[index - 1];
            const std::uint32_t end = offsets_[index];
            if (end - begin == candidate.size() &&
                std::memcmp(arena_.data() + begin, candidate.data(), candidate.size()) == 0) {
                return true;
            }
        }
    }
}

bool DomainMatcher::matchesLower(std::string_view host) const {
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    // Shortest suffix first: which one is tried first does not change the answer, and from
    // the right each suffix's hash extends the previous one.
    return anySuffix(host, [&](std::size_t start, std::uint64_t h) {
        return lengthPresent(lengths_, host.size() - start) && contains(host.substr(start), h);
    });
}

bool DomainMatcher::matches(std::string_view host) const {
    if (domainNames_.empty() || host.empty()) return false;
    const Scan s = scan(host);
    if (s.high) {
        // Other scripts' capitals need the full Unicode mapping, and so a copy.
        if (!unicode::containsUppercase(host)) return matchesLower(host);
        const std::string lower = unicode::lowercased(host);
        return matchesLower(lower);
    }
    if (!s.upper) return matchesLower(host);
    std::array<char, 256> buffer;
    if (host.size() <= buffer.size()) {
        for (std::size_t i = 0; i < host.size(); ++i) buffer[i] = unicode::asciiLower(host[i]);
        return matchesLower(std::string_view(buffer.data(), host.size()));
    }
    return matchesLower(unicode::lowercased(host));
}

DomainMatcher::DomainMatcher(const Scope& scope) : DomainMatcher(scope.domains()) {}

}  // namespace tolvane
