#include <gtest/gtest.h>

#include <limits>
#include <tolvane/NameAddressAssociations.hpp>
#include <tolvane/Unicode.hpp>

#include "TestSupport.hpp"

using namespace tolvane;
using Names = std::vector<std::string>;
using Limits = NameAddressAssociations::Limits;

namespace {
const FlowAddress A("192.0.2.1");
const FlowAddress B("192.0.2.2");
}  // namespace

// Case, order, the per-address and table limits and sweeping are checked against the plain
// rules by fuzz/AssociationsFuzz.cpp; these cases cover what it does not reach.

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

// The counts themselves are checked by fuzz/AssociationsFuzz.cpp; this is the caching.
TEST(NameAddressAssociationsTests, TallyAsksOncePerVersion) {
    NameAddressAssociations table(Limits(120, 2048, 8));
    table.record("a", A, 0);
    table.record("b", A, 100);
    int asked = 0;
    const auto count = [&](std::string_view) { return ++asked > 0; };
    for (std::uint64_t version : {1, 1, 2}) table.tallyLiveNames(A, 10, version, count);
    EXPECT_EQ(asked, 4);
    for (int i = 0; i < 2; ++i) table.tallyLiveNames(A, 10, 0, count);  // version 0 always asks
    EXPECT_EQ(asked, 8);
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
