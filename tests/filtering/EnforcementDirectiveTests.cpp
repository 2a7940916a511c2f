#include <tolvane/EnforcementDirective.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace tolvane;

namespace {
Domain dom(const char* name) { return *Domain::make(name); }

EnforcementDirective fullDirective() {
    return EnforcementDirective(Scope(2, {dom("example.com"), dom("example.org")}),
                                ValidationProbe(dom("probe.example"), 615), 600.25);
}

DecodingError::Kind decodingFailure(const std::string& text) {
    try {
        decodeJSON<EnforcementDirective>(text);
    } catch (const DecodingError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError::Kind::valueNotFound;
}
}  // namespace

TEST(ValidationProbeTests, LendingClampsTheDuration) {
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, 5).expiresAt(), 105);
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, 60).expiresAt(), 120);
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, 20).expiresAt(), 120);
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, -3).expiresAt(), 100);
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, std::nan("")).expiresAt(), 100);
    EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, INFINITY).expiresAt(), 120);
    EXPECT_TRUE(ValidationProbe::lent(dom("p.example"), 100, -3).hasExpired(100));
    // Memberwise construction keeps any expiry.
    EXPECT_EQ(ValidationProbe(dom("p.example"), 1e9).expiresAt(), 1e9);
}

TEST(ValidationProbeTests, ExpiresExactlyAtItsExpiry) {
    const ValidationProbe probe(dom("p.example"), 615);
    EXPECT_FALSE(probe.hasExpired(614.999));
    EXPECT_TRUE(probe.hasExpired(615));
    EXPECT_TRUE(probe.hasExpired(700));
    // An instant that is no number is neither at or after the expiry nor before it.
    const double nan = std::nan("");
    EXPECT_FALSE(probe.hasExpired(nan));
    const EnforcementDirective probeOnly(std::nullopt, probe, 600);
    EXPECT_FALSE(probeOnly.isEnforcing(nan));
    EXPECT_TRUE(probeOnly.enforcedDomains(nan).empty());
}

TEST(EnforcementDirectiveTests, IdleEnforcesNothing) {
    const auto idle = EnforcementDirective::idle(600.25);
    EXPECT_EQ(idle.generation(), 0);
    EXPECT_TRUE(idle.enforcedDomains(0).empty());
    EXPECT_FALSE(idle.isEnforcing(1e12));
    EXPECT_EQ(idle.publishedAt(), 600.25);
}

TEST(EnforcementDirectiveTests, EmptyScopeIsNotEnforcingButKeepsItsGeneration) {
    const EnforcementDirective directive(Scope(7, {}), std::nullopt, 1);
    EXPECT_EQ(directive.generation(), 7);
    EXPECT_FALSE(directive.isEnforcing(1));
}

TEST(EnforcementDirectiveTests, ProbeIsEnforcedUntilItExpires) {
    const EnforcementDirective probeOnly(std::nullopt, ValidationProbe(dom("p.example"), 615), 600);
    EXPECT_TRUE(probeOnly.isEnforcing(614));
    EXPECT_EQ(probeOnly.enforcedDomains(614), DomainSet{dom("p.example")});
    EXPECT_FALSE(probeOnly.isEnforcing(615));
    EXPECT_TRUE(probeOnly.enforcedDomains(615).empty());

    const auto full = fullDirective();
    EXPECT_EQ(full.enforcedDomains(600).size(), 3u);
    EXPECT_EQ(full.enforcedDomains(615), (DomainSet{dom("example.com"), dom("example.org")}));
    const EnforcementDirective overlapping(Scope(1, {dom("a.com")}), ValidationProbe(dom("a.com"), 9), 0);
    EXPECT_EQ(overlapping.enforcedDomains(0), DomainSet{dom("a.com")});
}

TEST(EnforcementDirectiveTests, EqualityAndHashCoverEveryField) {
    const auto a = fullDirective();
    EXPECT_EQ(a, fullDirective());
    EXPECT_EQ(std::hash<EnforcementDirective>{}(a), std::hash<EnforcementDirective>{}(fullDirective()));
    EXPECT_NE(a, EnforcementDirective(a.scope(), a.validation(), 600.5));
    EXPECT_NE(a, EnforcementDirective(a.scope(), std::nullopt, 600.25));
    EXPECT_NE(a, EnforcementDirective(std::nullopt, a.validation(), 600.25));
    EXPECT_NE(a, EnforcementDirective(a.scope(), ValidationProbe(dom("probe.example"), 616), 600.25));
}

TEST(EnforcementDirectiveJSONTests, WritesTheFileFormat) {
    EXPECT_EQ(encodeJSON(EnforcementDirective::idle(600.25)), R"({"publishedAt":600.25})");
    const EnforcementDirective single(Scope(2, {dom("example.com")}),
                                      ValidationProbe(dom("probe.example"), 615), 600.25);
    EXPECT_EQ(encodeJSON(single),
              R"({"scope":{"generation":2,"domains":["example.com"]},)"
              R"("validation":{"domain":"probe.example","expiresAt":615},"publishedAt":600.25})");
    const auto full = fullDirective();
    EXPECT_EQ(decodeJSON<EnforcementDirective>(encodeJSON(full)), full);
}

TEST(EnforcementDirectiveJSONTests, ReadsAbsentAndNullAlike) {
    const auto idle = EnforcementDirective::idle(600);
    EXPECT_EQ(decodeJSON<EnforcementDirective>(R"({"publishedAt":600})"), idle);
    EXPECT_EQ(decodeJSON<EnforcementDirective>(R"({"scope":null,"validation":null,"publishedAt":600.0})"), idle);
    EXPECT_EQ(decodeJSON<EnforcementDirective>(R"({"extra":[1,{}],"publishedAt":600})"), idle);
    EXPECT_EQ(decodeJSON<EnforcementDirective>(
                  R"({"publishedAt":600.25,"validation":{"expiresAt":615,"domain":"Probe.Example."},)"
                  R"("scope":{"domains":["example.org","example.com"],"generation":2}})"),
              fullDirective());
}

TEST(EnforcementDirectiveJSONTests, RefusesMalformedDirectives) {
    using K = DecodingError::Kind;
    EXPECT_EQ(decodingFailure("not json"), K::dataCorrupted);
    EXPECT_EQ(decodingFailure(""), K::dataCorrupted);
    EXPECT_EQ(decodingFailure("[]"), K::typeMismatch);
    EXPECT_EQ(decodingFailure("{}"), K::keyNotFound);
    EXPECT_EQ(decodingFailure(R"({"publishedAt":null})"), K::valueNotFound);
    EXPECT_EQ(decodingFailure(R"({"publishedAt":"600"})"), K::typeMismatch);
    EXPECT_EQ(decodingFailure(R"({"validation":{"domain":"p.example"},"publishedAt":1})"), K::keyNotFound);
    EXPECT_EQ(decodingFailure(R"({"validation":{"domain":"a b","expiresAt":1},"publishedAt":1})"),
              K::dataCorrupted);
    EXPECT_EQ(decodingFailure(R"({"validation":[],"publishedAt":1})"), K::typeMismatch);
    EXPECT_EQ(decodingFailure(R"({"scope":{"generation":1},"publishedAt":1})"), K::keyNotFound);
    EXPECT_EQ(decodingFailure(R"({"scope":{"generation":1.5,"domains":[]},"publishedAt":1})"),
              K::dataCorrupted);
    EXPECT_EQ(decodingFailure(R"({"scope":{"generation":1,"domains":[3]},"publishedAt":1})"),
              K::typeMismatch);
    EXPECT_EQ(decodingFailure(std::string(100000, '[') + std::string(100000, ']')), K::dataCorrupted);
    EXPECT_EQ(decodingFailure(R"({"scope":)" + std::string(100000, '{')), K::dataCorrupted);
    EXPECT_EQ(decodingFailure(R"({"publishedAt":1e999})"), K::dataCorrupted);
    EXPECT_EQ(decodingFailure(R"({"scope":{"generation":9223372036854775808,"domains":[]},"publishedAt":1})"),
              K::dataCorrupted);
    EXPECT_EQ(decodingFailure("{\"publishedAt\":\"" + std::string(4 << 20, 'x')), K::dataCorrupted);
    std::string manyNumbers = R"({"publishedAt":1,"scope":{"generation":1,"domains":[)";
    for (int i = 0; i < 400000; ++i) manyNumbers += "12345,";
    EXPECT_EQ(decodingFailure(manyNumbers + "1]}}"), K::typeMismatch);
}

TEST(EnforcementDirectiveJSONTests, HugeButValidNumbersAreKept) {
    EXPECT_EQ(decodeJSON<EnforcementDirective>(R"({"publishedAt":18446744073709551616})").publishedAt(),
              18446744073709551616.0);
    const auto far = EnforcementDirective::idle(1.5e300);
    EXPECT_EQ(decodeJSON<EnforcementDirective>(encodeJSON(far)), far);
}

TEST(EnforcementDirectiveJSONTests, ErrorsNameTheirPath) {
    try {
        decodeJSON<EnforcementDirective>(
            R"({"scope":{"generation":1,"domains":["ok.com","bad domain"]},"publishedAt":1})");
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.codingPathDescription(), "scope.domains[1]");
        EXPECT_EQ(error.debugDescription(), "Not a valid domain name: bad domain");
    }
}
