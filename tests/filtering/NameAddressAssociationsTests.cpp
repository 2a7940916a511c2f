#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tolvane/NameAddressAssociations.hpp>
#include <tolvane/Unicode.hpp>
#include <unordered_map>

#include "ReferenceAssociations.hpp"
#include "TestSupport.hpp"

using namespace tolvane;
using Names = std::vector<std::string>;
using Limits = NameAddressAssociations::Limits;
using tolvane::testing::ReferenceAssociations;

namespace {
const FlowAddress A("192.0.2.1");
const FlowAddress B("192.0.2.2");

}  // namespace

// Case, order, the per-address and table limits and sweeping are checked against the plain
// rules on random sequences below; these cases cover what those sequences do not reach.

TEST(NameAddressAssociationsTests, DifferentlyComposedTextIsTheSameNameAndAddress) {
    NameAddressAssociations table(Limits(120, 2048, 2));
    const std::string decomposed = "cafe\xCC\x81.example";  // e and a combining acute accent
    const std::string precomposed = "caf\xC3\xA9.example";  // one character
    table.record(decomposed, A, 0);
    table.record("a;b", A, 1);
    table.record("CAF\xC3\x89.example", A, 2);
    table.record(
        "a\xCD\xBE"
        "b",
        A, 3);  // GREEK QUESTION MARK, a semicolon when composed
    EXPECT_EQ(table.names(A, 3), (Names{decomposed, "a;b"}));
    EXPECT_EQ(table.names(A, 121), (Names{decomposed, "a;b"}));  // both times were renewed

    table.record("y.example", FlowAddress(decomposed), 5);
    EXPECT_EQ(table.names(FlowAddress(precomposed), 5), Names{"y.example"});
    table.record("z.example", FlowAddress(precomposed), 6);
    EXPECT_EQ(table.names(FlowAddress(decomposed), 6), (Names{"y.example", "z.example"}));
    EXPECT_EQ(table.addressCount(), 2);
}

TEST(NameAddressAssociationsTests, NamesLiveStrictlyLessThanTheLifetime) {
    NameAddressAssociations table(Limits(120, 2048, 8));
    table.record("x", A, 100);
    EXPECT_EQ(table.names(A, 219.9), Names{"x"});
    EXPECT_EQ(table.names(A, 220), Names{});
    EXPECT_EQ(table.names(A, 50), Names{"x"});  // observed "in the future" is young
    EXPECT_EQ(table.addressCount(), 1);         // dead but not yet swept
    table.evictExpired(220);
    EXPECT_EQ(table.addressCount(), 0);
}

TEST(NameAddressAssociationsTests, RemoveAllAndCopiesAreIndependent) {
    NameAddressAssociations table(Limits(120, 4, 8));
    table.record("a", A, 0);
    NameAddressAssociations copy = table;
    copy.record("b", A, 1);
    copy.record("c", B, 1);
    EXPECT_EQ(table.names(A, 1), Names{"a"});
    EXPECT_EQ(copy.names(A, 1), (Names{"a", "b"}));
    table.removeAll();
    EXPECT_EQ(table.addressCount(), 0);
    EXPECT_EQ(table.limits(), Limits(120, 4, 8));
    EXPECT_EQ(copy.addressCount(), 2);
}

TEST(NameAddressAssociationsTests, NonsenseTimesAndLimitsDoNotBreakTheTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    NameAddressAssociations table(Limits(120, 2, 2));
    for (double t : {nan, inf, -inf, 0.0, nan, 5.0}) {
        table.record("a", FlowAddress(std::to_string(t)), t);
        table.record("b", A, t);
        table.record("c", A, t);
    }
    EXPECT_LE(table.addressCount(), 2);
    EXPECT_EQ(table.names(A, 5), (Names{"b", "c"}));
    table.evictExpired(nan);
    EXPECT_EQ(table.addressCount(), 0);

    NameAddressAssociations negative(Limits(-1, -3, -2));
    negative.record("a", A, 0);
    EXPECT_EQ(negative.addressCount(), 0);
    EXPECT_EQ(negative.names(A, 0), Names{});
}

TEST(NameAddressAssociationsTests, TallyAsksOncePerVersionAndOnlyAboutLiveNames) {
    NameAddressAssociations table(Limits(120, 2048, 8));
    table.record("a", A, 0);
    table.record("b", A, 100);
    int asked = 0;
    const auto isA = [&](std::string_view name) {
        ++asked;
        return name == "a";
    };
    auto tally = table.tallyLiveNames(A, 10, 1, isA);
    EXPECT_EQ(tally.live, 2u);
    EXPECT_EQ(tally.accepted, 1u);
    table.tallyLiveNames(A, 10, 1, isA);
    EXPECT_EQ(asked, 2);
    table.tallyLiveNames(A, 10, 2, isA);
    EXPECT_EQ(asked, 4);
    tally = table.tallyLiveNames(A, 150, 2, isA);  // "a" is dead by now
    EXPECT_EQ(tally.live, 1u);
    EXPECT_EQ(tally.accepted, 0u);
    table.tallyLiveNames(A, 10, 0, isA);  // version 0 always asks
    table.tallyLiveNames(A, 10, 0, isA);
    EXPECT_EQ(asked, 8);
    EXPECT_EQ(table.tallyLiveNames(B, 10, 1, isA).live, 0u);
}

// A known pair, whatever its case, is renewed in place; an address seen with ever new names
// (a shared server's) drops its oldest name for each new one, and the new name reuses the
// storage of the one that goes.
TEST(NameAddressAssociationsTests, KnownPairsAndAFullAddressRecordWithoutAllocating) {
    NameAddressAssociations table(Limits(120, 2048, 8));
    const auto name = [](int i) {
        return "media-" + std::to_string(1000 + i) + ".images.example.com";
    };
    std::vector<std::string> names;
    for (int i = 0; i < 24; ++i) names.push_back(name(i));
    for (int i = 0; i < 8; ++i) table.record(names[i], A, i);
    const std::string known = "MEDIA-1007.Images.Example.com";
    const auto before = tolvane::testing::allocationCount();
    table.record(known, A, 8);
    for (int i = 8; i < 24; ++i) table.record(names[i], A, i);
    EXPECT_EQ(tolvane::testing::allocationCount(), before);
    EXPECT_EQ(table.names(A, 24), Names(names.begin() + 16, names.end()));
}

// Random operation sequences against the plain rules, with time jumping back and forth and
// the limits at their edges.
TEST(NameAddressAssociationsTests, AgreesWithThePlainRulesOnRandomSequences) {
    const std::vector<std::string> hostNames = {
        "a.example", "A.Example", "b.example",  "c.example", "d.example", "e.example",
        "f.example", "Ä.example", "g.example.", "h.example", "i.example", "j.example"};
    std::vector<std::string> addresses;
    for (int i = 0; i < 24; ++i) addresses.push_back("198.51.100." + std::to_string(i));

    std::mt19937_64 random(20240611);
    int sequences = 0;
    for (double lifetime : {5.0, 40.0, 1e6}) {
        for (std::int64_t maximumAddresses : {0, 1, 2, 5, 16}) {
            for (std::int64_t maximumNames : {0, 1, 2, 3, 8}) {
                const Limits limits(lifetime, maximumAddresses, maximumNames);
                NameAddressAssociations table(limits);
                ReferenceAssociations reference(limits);
                double now = 0;
                // Distinct instants keep eviction free of ties, whose order is unspecified.
                double unique = 0;
                for (int step = 0; step < 400; ++step) {
                    unique += 1e-6;
                    const auto roll = random() % 100;
                    if (roll < 8) {
                        now -= static_cast<double>(random() % 60);  // time goes back
                    } else {
                        now += static_cast<double>(random() % 4);
                    }
                    const double at = now + unique;
                    if (roll < 90) {
                        const auto& host = hostNames[random() % hostNames.size()];
                        const auto& address = addresses[random() % addresses.size()];
                        table.record(host, FlowAddress(address), at);
                        reference.record(host, address, at);
                    } else {
                        table.evictExpired(at);
                        reference.evictExpired(at);
                    }
                    ASSERT_EQ(table.addressCount(), reference.addressCount()) << "step " << step;
                    const double asked = at + static_cast<double>(random() % 20) - 10;
                    for (const auto& address : addresses) {
                        ASSERT_EQ(table.names(FlowAddress(address), asked),
                                  reference.names(address, asked))
                            << "step " << step << " address " << address;
                    }
                }
                ++sequences;
            }
        }
    }
    EXPECT_EQ(sequences, 75);
}
