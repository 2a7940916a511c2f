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

NameAddressAssociations remembering(std::initializer_list<const char*> names) {
    NameAddressAssociations associations(Limits(120, 2048, 8));
    for (const char* name : names) associations.record(name, address, 0);
    return associations;
}

FlowClassification classify(const FlowEvidence& evidence, const DomainMatcher& matcher,
                            const NameAddressAssociations& associations, bool enforcing,
                            Instant now = 1) {
    return EvidenceBoundedPolicy::classify(evidence, matcher, associations, enforcing, now);
}
}  // namespace

TEST(EvidenceBoundedPolicyTests, TheNameDecidesWhenThereIsOne) {
    const auto matcher = blocking({"example.com"});
    const auto none = remembering({"other.org"});
    EXPECT_EQ(classify({"Shop.Example.com", address}, matcher, none, true),
              FlowClassification(FlowAttribution::scoped, drop));
    const auto all = remembering({"example.com"});
    EXPECT_EQ(classify({"other.org", address}, matcher, all, true),
              FlowClassification(FlowAttribution::unscoped, release));
    EXPECT_EQ(classify({"example.com", std::nullopt}, DomainMatcher(), all, true),
              FlowClassification(FlowAttribution::unscoped, release));
    // Scoped drops even when nothing is said to be enforced.
    EXPECT_EQ(classify({"example.com", std::nullopt}, matcher, all, false).disposition(), drop);
}

TEST(EvidenceBoundedPolicyTests, AnAddressAloneIsJudgedByItsRememberedNames) {
    const auto matcher = blocking({"example.com"});
    EXPECT_EQ(classify({std::nullopt, address}, matcher,
                       remembering({"a.example.com", "example.com"}), true),
              FlowClassification(FlowAttribution::scoped, drop));
    EXPECT_EQ(classify({std::nullopt, address}, matcher,
                       remembering({"a.example.com", "other.org"}), true),
              FlowClassification(FlowAttribution::ambiguous, release));
    EXPECT_EQ(classify({std::nullopt, address}, matcher,
                       remembering({"a.example.com", "other.org"}), false),
              FlowClassification(FlowAttribution::ambiguous, release));
    EXPECT_EQ(classify({std::nullopt, address}, matcher, remembering({"other.org"}), true),
              FlowClassification(FlowAttribution::unscoped, release));
    // Expired names count as none.
    EXPECT_EQ(classify({std::nullopt, address}, matcher, remembering({"example.com"}), true, 120),
              FlowClassification(FlowAttribution::unattributed, hold));
}

TEST(EvidenceBoundedPolicyTests, NoEvidenceIsHeldOnlyWhileEnforcing) {
    const auto matcher = blocking({"example.com"});
    const auto empty = remembering({});
    EXPECT_EQ(classify({std::nullopt, std::nullopt}, matcher, empty, true),
              FlowClassification(FlowAttribution::unattributed, hold));
    EXPECT_EQ(classify({std::nullopt, address}, matcher, empty, false),
              FlowClassification(FlowAttribution::unattributed, release));
    EXPECT_EQ(EvidenceBoundedPolicy::disposition(FlowAttribution::unattributed, true), hold);
    EXPECT_EQ(EvidenceBoundedPolicy::disposition(FlowAttribution::unattributed, false), release);
    EXPECT_EQ(EvidenceBoundedPolicy::disposition(FlowAttribution::scoped, false), drop);
    EXPECT_EQ(EvidenceBoundedPolicy::disposition(FlowAttribution::ambiguous, true), release);
}

// Equality and hashing see the byte count and the attribution, as the verdicts built from
// them do.
TEST(EvidenceBoundedPolicyTests, DispositionsCompareWithTheirByteCount) {
    EXPECT_NE(hold, FlowDisposition::allowUnderInspection(1));
    EXPECT_NE(std::hash<FlowDisposition>{}(hold),
              std::hash<FlowDisposition>{}(FlowDisposition::allowUnderInspection(1)));
    EXPECT_NE(FlowClassification(FlowAttribution::scoped, drop),
              FlowClassification(FlowAttribution::unscoped, drop));
}
