#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tolvane/Commitment.hpp>
#include <tolvane/Website.hpp>
#include <vector>

#include "Decoding.hpp"

using namespace tolvane;
using tolvane::testing::decodingError;

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr Instant A = 786'000'000.25;  // an activation instant with a fractional part

Domain domain(const char* name) {
    return *Domain::make(name);
}
ProjectedEndTime end(double date) {
    return ProjectedEndTime(date);
}

Commitment sampleCommitment() {
    return Commitment(A, *CommitmentDuration::make(3600), Scope(4, {domain("a.com")}),
                      CommitmentHealth::healthy);
}

}  // namespace

TEST(CommitmentDuration, AcceptsOnlyPositiveLengthsUpToADay) {
    EXPECT_EQ(CommitmentDuration::make(86400)->seconds(), 86400);
    EXPECT_TRUE(CommitmentDuration::make(std::numeric_limits<double>::denorm_min()));
    for (double bad :
         {std::nextafter(86400.0, infinity), 0.0, -0.0, -1.0, notANumber, infinity, -infinity}) {
        EXPECT_FALSE(CommitmentDuration::make(bad)) << bad;
    }
    EXPECT_EQ(CommitmentDuration::minutes(1440)->seconds(), CommitmentDuration::maximumSeconds);
    EXPECT_FALSE(CommitmentDuration::minutes(1440.5));
    EXPECT_FALSE(CommitmentDuration::hours(0));
    EXPECT_FALSE(CommitmentDuration::hours(std::nextafter(24.0, infinity)));
    // hours * 60 * 60 rounds differently from hours * 3600 here.
    EXPECT_EQ(CommitmentDuration::hours(23.999999999999982)->seconds(), 86399.99999999993);
}

TEST(ActivationBoundary, PermitsEndsUpToADayAfterActivation) {
    const ActivationBoundary b(A);
    EXPECT_TRUE(b.permits(end(A + 86400)));
    EXPECT_FALSE(b.permits(end(std::nextafter(A + 86400, infinity))));
    EXPECT_TRUE(b.permits(end(-infinity)));
    EXPECT_FALSE(b.permits(end(infinity)));
    // Only an end that is later than the boundary is refused, and NaN is later than nothing.
    EXPECT_TRUE(b.permits(end(notANumber)));
    EXPECT_TRUE(ActivationBoundary(notANumber).permits(end(A)));

    EXPECT_EQ(b.maximumExtension(end(A + 82800)), 3600);
    EXPECT_EQ(b.maximumExtension(end(A + 90000)), 0);
    EXPECT_EQ(b.maximumExtension(end(notANumber)), 0);
    EXPECT_EQ(ActivationBoundary(infinity).maximumExtension(end(infinity)), 0);
}

TEST(ActivationBoundary, RulesOnExtensionsInOrder) {
    const ActivationBoundary b(A);
    const auto from = end(A + 3600);
    EXPECT_EQ(b.rulingForExtension(from, end(A + 3600)), ExtensionRuling::doesNotStrengthen());
    EXPECT_EQ(b.rulingForExtension(from, end(A + 7200)), ExtensionRuling::permitted());
    EXPECT_EQ(b.rulingForExtension(from, end(A + 86400)), ExtensionRuling::permitted());
    EXPECT_EQ(b.rulingForExtension(from, end(A + 90000)),
              ExtensionRuling::exceedsOriginalBoundary(A + 86400));
    // Moving earlier is refused as such even when both ends lie past the boundary.
    EXPECT_EQ(b.rulingForExtension(end(A + 90000), end(A + 80000)),
              ExtensionRuling::doesNotStrengthen());
    EXPECT_EQ(b.rulingForExtension(end(A + 90000), end(A + 95000)),
              ExtensionRuling::exceedsOriginalBoundary(A + 86400));

    // NaN is neither later nor earlier than anything: it never strengthens, and a boundary
    // that is NaN has no end that lies past it.
    EXPECT_EQ(b.rulingForExtension(from, end(notANumber)), ExtensionRuling::doesNotStrengthen());
    EXPECT_EQ(b.rulingForExtension(end(notANumber), end(A + 7200)),
              ExtensionRuling::doesNotStrengthen());
    EXPECT_EQ(b.rulingForExtension(from, end(infinity)).rulingCase(),
              ExtensionRuling::Case::exceedsOriginalBoundary);
    EXPECT_EQ(ActivationBoundary(notANumber).rulingForExtension(from, end(A + 7200)),
              ExtensionRuling::permitted());
}

TEST(ActivationBoundary, RepeatedExtensionsNeverPassTheBoundary) {
    for (double step : {0.7, 3599.9, 7200.0, 86399.0}) {
        const ActivationBoundary b(A);
        ProjectedEndTime current = end(A + 1);
        int granted = 0;
        while (true) {
            const auto proposed = end(current.date() + step);
            const ExtensionRuling ruling = b.rulingForExtension(current, proposed);
            if (!ruling.isPermitted()) {
                EXPECT_EQ(ruling, ExtensionRuling::exceedsOriginalBoundary(A + 86400));
                break;
            }
            current = proposed;
            ASSERT_LT(++granted, 1'000'000);
        }
        EXPECT_LE(current.date(), b.latestPermittedEndTime()) << step;
        // Taking exactly the remaining room lands on the boundary and leaves none.
        current = end(current.date() + b.maximumExtension(current));
        EXPECT_TRUE(b.permits(current));
        EXPECT_EQ(b.maximumExtension(current), 0);
        EXPECT_EQ(b.rulingForExtension(current, end(std::nextafter(current.date(), infinity)))
                      .rulingCase(),
                  ExtensionRuling::Case::exceedsOriginalBoundary);
    }
}

// When strengthening fails is the scope's rule; here, a failure leaves the commitment as it was
// and a success changes nothing but the scope.
TEST(Commitment, StrengtheningGrowsOnlyTheScopeAndFailsWithoutChange) {
    Commitment c = sampleCommitment();
    c.setRemainingDuration(1234.5);
    c.setHealth(CommitmentHealth::degraded);
    const Commitment before = c;
    EXPECT_THROW(c.strengthenByAdding({domain("a.com")}), ScopeStrengtheningError);
    const std::vector<Website> websites{Website(domain("a.com"), {})};
    EXPECT_THROW(c.strengthenByResolving(CommitmentSelection::allWebsites(), websites),
                 ScopeStrengtheningError);
    EXPECT_EQ(c, before);

    c.strengthenByAdding({domain("a.com"), domain("b.com")});
    EXPECT_EQ(c.scope(), Scope(5, {domain("a.com"), domain("b.com")}));
    EXPECT_EQ(c.health(), CommitmentHealth::degraded);
}

TEST(CommitmentJSON, RoundTripsAndWritesTheDescribedForms) {
    EXPECT_EQ(encodeJSON(*CommitmentDuration::make(600.25)), "600.25");
    EXPECT_EQ(encodeJSON(end(A)), R"({"date":786000000.25})");
    EXPECT_EQ(decodeJSON<ProjectedEndTime>(R"({"date":-1.5,"x":0})"), end(-1.5));
    EXPECT_EQ(encodeJSON(ActivationBoundary(615)), R"({"activatedAt":615})");

    const Commitment c = sampleCommitment();
    EXPECT_EQ(encodeJSON(c),
              R"({"activatedAt":786000000.25,"scope":{"generation":4,"domains":["a.com"]},)"
              R"("remainingDuration":3600,"health":"healthy"})");
    const Commitment odd = decodeJSON<Commitment>(
        R"({"health":"degraded","remainingDuration":-10,"scope":{"generation":0,"domains":[]},"activatedAt":0})");
    EXPECT_EQ(odd.remainingDuration(), -10);
}

TEST(CommitmentJSON, RefusesMalformedInputWithTheDescribedErrors) {
    // How numbers are shown is the JSON layer's; these pin the message and the range.
    for (auto [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"0", "0.0"}, {"86400.5", "86400.5"}, {"-0.0", "-0.0"}}) {
        const DecodingError error = decodingError<CommitmentDuration>(text);
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.debugDescription(), "CommitmentDuration must be in (0, 24h]; got " + shown);
    }
    EXPECT_EQ(decodingError<CommitmentDuration>(R"("3600")").kind(),
              DecodingError::Kind::typeMismatch);

    for (const char* member : {"activatedAt", "scope", "remainingDuration", "health"}) {
        auto json = std::string(R"({"activatedAt":1,"scope":{"generation":1,"domains":[]},)") +
                    R"("remainingDuration":1,"health":"healthy"})";
        const auto at = json.find(std::string("\"") + member + "\"");
        json.replace(at, 1, "\"_");  // rename the member
        EXPECT_EQ(decodingError<Commitment>(json).kind(), DecodingError::Kind::keyNotFound)
            << member;
    }
    const DecodingError health = decodingError<Commitment>(
        R"({"activatedAt":1,"scope":{"generation":1,"domains":[]},"remainingDuration":1,"health":"Healthy"})");
    EXPECT_EQ(health.kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(health.codingPathDescription(), "health");
}
