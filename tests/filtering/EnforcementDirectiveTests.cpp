#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tolvane/EnforcementDirective.hpp>

using namespace tolvane;

namespace {
Domain dom(const char* name) {
    return *Domain::make(name);
}

EnforcementDirective fullDirective() {
    return EnforcementDirective(Scope(2, {dom("example.com"), dom("example.org")}),
                                ValidationProbe(dom("probe.example"), 615), 600.25);
}

DecodingError decodingError(const std::string& text) {
    try {
        decodeJSON<EnforcementDirective>(text);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError(DecodingError::Kind::valueNotFound, {}, "");
}
}  // namespace

TEST(ValidationProbeTests, LendingClampsTheDurationToTwentySeconds) {
    for (auto [duration, expiresAt] : std::vector<std::pair<double, Instant>>{
             {5, 105}, {20, 120}, {60, 120}, {INFINITY, 120}, {-3, 100}, {std::nan(""), 100}}) {
        EXPECT_EQ(ValidationProbe::lent(dom("p.example"), 100, duration).expiresAt(), expiresAt)
            << duration;
    }
}

TEST(EnforcementDirectiveTests, EnforcesTheScopeAndTheProbeUntilItExpires) {
    EXPECT_FALSE(EnforcementDirective::idle(600.25).isEnforcing(1e12));
    EXPECT_FALSE(EnforcementDirective(Scope(7, {}), std::nullopt, 1).isEnforcing(1));

    const EnforcementDirective probeOnly(std::nullopt, ValidationProbe(dom("p.example"), 615), 600);
    EXPECT_TRUE(probeOnly.isEnforcing(614));
    EXPECT_EQ(probeOnly.enforcedDomains(614), DomainSet{dom("p.example")});
    EXPECT_FALSE(probeOnly.isEnforcing(615));
    // An instant that is no number is neither at or after the expiry nor before it.
    const double nan = std::nan("");
    EXPECT_FALSE(probeOnly.validation()->hasExpired(nan));
    EXPECT_FALSE(probeOnly.isEnforcing(nan));
    EXPECT_TRUE(probeOnly.enforcedDomains(nan).empty());

    const auto full = fullDirective();
    EXPECT_EQ(full.enforcedDomains(600).size(), 3u);
    EXPECT_EQ(full.enforcedDomains(615), (DomainSet{dom("example.com"), dom("example.org")}));
}

TEST(EnforcementDirectiveJSONTests, WritesTheFileFormatAndReadsAbsentAndNullAlike) {
    const auto idle = EnforcementDirective::idle(600);
    EXPECT_EQ(encodeJSON(idle), R"({"publishedAt":600})");
    const EnforcementDirective single(Scope(2, {dom("example.com")}),
                                      ValidationProbe(dom("probe.example"), 615), 600.25);
    EXPECT_EQ(encodeJSON(single),
              R"({"scope":{"generation":2,"domains":["example.com"]},)"
              R"("validation":{"domain":"probe.example","expiresAt":615},"publishedAt":600.25})");

    for (const char* text : {R"({"scope":null,"validation":null,"publishedAt":600.0})",
                             R"({"extra":[1,{}],"publishedAt":600})"}) {
        EXPECT_EQ(decodeJSON<EnforcementDirective>(text), idle) << text;
    }
    EXPECT_EQ(
        decodeJSON<EnforcementDirective>(
            R"({"publishedAt":600.25,"validation":{"expiresAt":615,"domain":"Probe.Example."},)"
            R"("scope":{"domains":["example.org","example.com"],"generation":2}})"),
        fullDirective());
    // Huge but valid numbers are kept.
    EXPECT_EQ(
        decodeJSON<EnforcementDirective>(R"({"publishedAt":18446744073709551616})").publishedAt(),
        18446744073709551616.0);
}

// Syntax, depth and the scope's own members are covered by the JSON and Scope tests; these
// are the directive's members and how their errors surface.
TEST(EnforcementDirectiveJSONTests, RefusesMalformedDirectives) {
    using K = DecodingError::Kind;
    for (auto [text, kind] : std::vector<std::pair<std::string, K>>{
             {"[]", K::typeMismatch},
             {"{}", K::keyNotFound},
             {R"({"publishedAt":null})", K::valueNotFound},
             {R"({"publishedAt":"600"})", K::typeMismatch},
             {R"({"publishedAt":1e999})", K::dataCorrupted},
             {R"({"validation":{"domain":"p.example"},"publishedAt":1})", K::keyNotFound},
             {R"({"validation":{"domain":"a b","expiresAt":1},"publishedAt":1})", K::dataCorrupted},
             {R"({"validation":[],"publishedAt":1})", K::typeMismatch},
             {R"({"scope":{"generation":1,"domains":[3]},"publishedAt":1})", K::typeMismatch},
             {R"({"scope":)" + std::string(100000, '{'), K::dataCorrupted},
         }) {
        EXPECT_EQ(decodingError(text).kind(), kind) << text.substr(0, 80);
    }
    EXPECT_EQ(decodingError(R"({"scope":{"generation":1,"domains":["ok.com","bad domain"]},)"
                            R"("publishedAt":1})")
                  .codingPathDescription(),
              "scope.domains[1]");
}
