#include <gtest/gtest.h>

#include <tolvane/EvidenceBoundedPolicy.hpp>

using namespace tolvane;

namespace {
using Limits = NameAddressAssociations::Limits;

const FlowAddress address("192.0.2.7");
const auto drop = FlowDisposition::drop();
const auto release = FlowDisposition::allowAndRelease();
const auto hold = FlowDisposition::allowUnderInspection(4096);

DomainMatcher blocking(std::initializer_list<const char*> names) {
    std::vector<Domain> domains;
    for (const char* name : names) domains.push_back(*Domain::make(name));
    return DomainMatcher(domains);
}

NameAddressAssociations remembering(const std::vector<const char*>& names) {
    NameAddressAssociations associations(Limits(120, 2048, 8));
    for (const char* name : names) associations.record(name, address, 0);
    return associations;
}
}  // namespace

// The name decides when there is one; an address alone is judged by its remembered names
// (expired ones count as none); no evidence is held only while enforcing. A flow offering
// Encrypted Client Hello may show a relay's name: either its visible name or its address
// (judged as a name-less flow's) drops it, and it is never held.
TEST(EvidenceBoundedPolicyTests, ClassifiesByTheEvidenceAtHand) {
    using A = FlowAttribution;
    const auto matcher = blocking({"example.com"});
    const std::optional<FlowAddress> none;
    const char* relay = "relay.cdn.example.net";
    struct Case {
        std::optional<std::string_view> name;
        std::optional<FlowAddress> at;
        std::vector<const char*> remembered;
        Instant now;
        FlowClassification expected;
        bool encrypted = false;
        bool enforcing = true;
    };
    for (const auto& c : std::vector<Case>{
             {"Shop.Example.com", address, {"other.org"}, 1, {A::scoped, drop}},
             {"other.org", address, {"example.com"}, 1, {A::unscoped, release}},
             {"example.com", none, {}, 1, {A::scoped, drop}, false, false},
             {std::nullopt, address, {"a.example.com", "example.com"}, 1, {A::scoped, drop}},
             {std::nullopt, address, {"a.example.com", "other.org"}, 1, {A::ambiguous, release}},
             {std::nullopt, address, {"other.org"}, 1, {A::unscoped, release}},
             {std::nullopt, address, {"example.com"}, 120, {A::unattributed, hold}},
             {std::nullopt, none, {}, 1, {A::unattributed, hold}},
             {std::nullopt, address, {}, 1, {A::unattributed, release}, false, false},
             // Without the flag the relay's name alone decides.
             {relay, address, {"example.com"}, 1, {A::unscoped, release}},
             // Encrypted: the real name visible, as browsers offer it on every connection.
             {"Shop.Example.com", address, {"other.org"}, 1, {A::scoped, drop}, true},
             {"example.com", none, {}, 1, {A::scoped, drop}, true},
             {relay, address, {"a.example.com", "example.com"}, 1, {A::scoped, drop}, true},
             {relay, address, {"a.example.com", "other.org"}, 1, {A::ambiguous, release}, true},
             {relay, address, {"other.org"}, 1, {A::unscoped, release}, true},
             {relay, address, {}, 1, {A::unscoped, release}, true},
             {relay, address, {"example.com"}, 120, {A::unscoped, release}, true},
             {relay, none, {}, 1, {A::unscoped, release}, true},
             {std::nullopt, address, {"example.com"}, 1, {A::scoped, drop}, true},
             {std::nullopt, none, {}, 1, {A::unscoped, release}, true},
         }) {
        EXPECT_EQ(EvidenceBoundedPolicy::classify({c.name, c.at, c.encrypted}, matcher,
                                                  remembering(c.remembered), c.enforcing, c.now),
                  c.expected)
            << c.name.value_or("-") << " " << c.remembered.size() << " at " << c.now << " "
            << c.encrypted;
    }
    EXPECT_EQ(EvidenceBoundedPolicy::classify({"example.com", none}, DomainMatcher(),
                                              remembering({}), true, 1),
              FlowClassification(A::unscoped, release));
}
