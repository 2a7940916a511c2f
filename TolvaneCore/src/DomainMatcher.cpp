#include <tolvane/DomainMatcher.hpp>
#include <tolvane/detail/Unicode.hpp>

#include <bit>
#include <cstring>

namespace tolvane {

namespace {
// FNV-1a over the bytes read from the right, ASCII letters folded to lower case, so that
// the hash of every dot-separated suffix of a host falls out of one pass over it.
constexpr std::uint64_t kOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001b3ULL;

inline std::uint64_t step(std::uint64_t h, unsigned char c) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
    return (h ^ c) * kPrime;
}

inline std::uint64_t finish(std::uint64_t h) {
    h ^= h >> 31;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
}

std::uint64_t hashOf(std::string_view name) {
    std::uint64_t h = kOffset;
    for (auto it = name.rbegin(); it != name.rend(); ++it) h = step(h, static_cast<unsigned char>(*it));
    return finish(h);
}

// `stored` is lower case; `candidate` may hold ASCII capitals.
inline bool equalFolded(std::string_view stored, std::string_view candidate) {
    if (stored.size() != candidate.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] != detail::asciiLower(candidate[i])) return false;
    }
    return true;
}
}  // namespace

void DomainMatcher::buildIndex() {
    if (domainNames_.empty()) return;
    const std::size_t capacity = std::bit_ceil(domainNames_.size() * 2 + 2);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shortest_ = SIZE_MAX;
    for (std::size_t i = 0; i < domainNames_.size(); ++i) {
        const std::string& name = domainNames_[i];
        shortest_ = std::min(shortest_, name.size());
        longest_ = std::max(longest_, name.size());
        const std::uint64_t h = hashOf(name);
        if (contains(name, h)) continue;  // duplicates share one slot
        std::uint64_t at = h & mask_;
        while (slots_[at].index != 0) at = (at + 1) & mask_;
        slots_[at] = Slot{h, static_cast<std::uint32_t>(i + 1)};
    }
}

bool DomainMatcher::contains(std::string_view candidate, std::uint64_t hash) const {
    for (std::uint64_t at = hash & mask_;; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (slot.index == 0) return false;
        if (slot.hash == hash && equalFolded(domainNames_[slot.index - 1], candidate)) return true;
    }
}

bool DomainMatcher::matchesFolded(std::string_view host) const {
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    // Walk from the right; each dot closes a candidate suffix. Which suffix is tried first
    // does not change the answer.
    std::uint64_t h = kOffset;
    const std::size_t n = host.size();
    for (std::size_t i = n; i-- > 0;) {
        const auto c = static_cast<unsigned char>(host[i]);
        if (c == '.') {
            const std::size_t length = n - i - 1;
            if (length >= shortest_ && length <= longest_ &&
                contains(host.substr(i + 1), finish(h))) {
                return true;
            }
            if (length > longest_) return false;
        }
        h = step(h, c);
    }
    return n >= shortest_ && n <= longest_ && contains(host, finish(h));
}

bool DomainMatcher::matches(std::string_view host) const {
    if (domainNames_.empty() || host.empty()) return false;
    // ASCII capitals are folded by the hash and the comparison; only other scripts' capitals
    // need the full Unicode mapping, and so a copy.
    if (!detail::isASCII(host) && detail::containsUppercase(host)) {
        const std::string lower = detail::lowercased(host);
        return matchesFolded(lower);
    }
    return matchesFolded(host);
}

}  // namespace tolvane
