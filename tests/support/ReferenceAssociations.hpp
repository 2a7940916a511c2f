// ReferenceAssociations.hpp: the name-address rules written as plainly as possible (a full
// sweep and a full sort whenever the table overflows). Tests and the fuzzer compare the
// indexed table with it on every observable result; the benchmark measures it as the point
// of comparison.
#pragma once

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <tolvane/NameAddressAssociations.hpp>
#include <tolvane/Unicode.hpp>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tolvane::testing {

class ReferenceAssociations {
public:
    explicit ReferenceAssociations(NameAddressAssociations::Limits limits) : limits_(limits) {}

    // `address` is a literal as FlowAddress gives it.
    void record(const std::string& hostname, const std::string& address, double now) {
        const std::string name = unicode::lowercased(hostname);
        Entry& entry = entries_.try_emplace(composedForm(address), Entry{{}, now}).first->second;
        entry.last = now;
        auto known = std::find_if(entry.names.begin(), entry.names.end(),
                                  [&](const auto& pair) { return sameText(pair.first, name); });
        if (known != entry.names.end()) {
            known->second = now;
        } else {
            const auto held = static_cast<std::int64_t>(entry.names.size());
            entry.names.emplace_back(name, now);
            if (held >= limits_.maximumNamesPerAddress) {
                std::stable_sort(entry.names.begin(), entry.names.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
                const auto keep = static_cast<std::size_t>(
                    std::max<std::int64_t>(0, limits_.maximumNamesPerAddress));
                entry.names.erase(entry.names.begin(),
                                  entry.names.end() - static_cast<std::ptrdiff_t>(keep));
            }
        }
        if (static_cast<std::int64_t>(entries_.size()) > limits_.maximumAddresses) {
            evictExpired(now);
            const auto excess =
                static_cast<std::int64_t>(entries_.size()) - limits_.maximumAddresses;
            if (excess > 0) {
                std::vector<std::pair<double, std::string>> order;
                for (const auto& [key, e] : entries_) order.emplace_back(e.last, key);
                std::sort(order.begin(), order.end());
                for (std::int64_t i = 0; i < excess; ++i)
                    entries_.erase(order[static_cast<std::size_t>(i)].second);
            }
        }
    }

    std::vector<std::string> names(const std::string& address, double now) const {
        std::vector<std::string> live;
        auto found = entries_.find(composedForm(address));
        if (found == entries_.end()) return live;
        for (const auto& [name, at] : found->second.names) {
            if (now - at < limits_.lifetime) live.push_back(name);
        }
        return live;
    }

    void evictExpired(double now) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            std::erase_if(it->second.names, [&](const auto& pair) {
                return !(now - pair.second < limits_.lifetime);
            });
            it = it->second.names.empty() ? entries_.erase(it) : std::next(it);
        }
    }

    std::int64_t addressCount() const { return static_cast<std::int64_t>(entries_.size()); }

private:
    // Text whose characters are composed differently is the same text.
    static std::string composedForm(const std::string& text) {
        if (unicode::isASCII(text)) return text;
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
        const icu::UnicodeString composed =
            nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
        std::string result;
        composed.toUTF8String(result);
        return result;
    }
    static bool sameText(const std::string& a, const std::string& b) {
        if (a == b) return true;
        if (unicode::isASCII(a) && unicode::isASCII(b)) return false;
        return composedForm(a) == composedForm(b);
    }

    struct Entry {
        std::vector<std::pair<std::string, double>> names;
        double last;
    };
    NameAddressAssociations::Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
};
}  // namespace tolvane::testing
