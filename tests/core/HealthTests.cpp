#include <gtest/gtest.h>

#include <tolvane/Health.hpp>

namespace tolvane {
namespace {

DecodingError decodeError(auto decode) {
    try {
        decode();
    } catch (const DecodingError& e) {
        return e;
    }
    return DecodingError(DecodingError::Kind::dataCorrupted, {}, "decoded");
}

// Every case of each enumeration goes out and comes back; the raw values are the file's
// text, so the forms are pinned, and a reason's health follows from the status.
TEST(Health, JSONFormsRoundTrip) {
    EXPECT_EQ(encodeJSON(EnforcementHealthStatus::healthy()), R"({"healthy":{}})");
    EXPECT_EQ(
        encodeJSON(EnforcementHealthStatus::degraded(DegradedReason::recoveringFromCorruption)),
        R"({"degraded":{"_0":"recoveringFromCorruption"}})");
    EXPECT_EQ(encodeJSON(DegradedReason::failedOpen), "\"failedOpen\"");
    EXPECT_EQ(rawValue(EnforcementValidationFailure::inconclusive), "inconclusive");
    for (auto reason : allDegradedReasonCases) {
        const auto status = EnforcementHealthStatus::degraded(reason);
        EXPECT_EQ(decodeJSON<EnforcementHealthStatus>(encodeJSON(status)), status);
        EXPECT_EQ(status.health(), CommitmentHealth::degraded);
        EXPECT_NE(status, EnforcementHealthStatus::healthy());
    }
    for (auto failure : allEnforcementValidationFailureCases) {
        const auto validation = EnforcementValidation::failed(failure);
        EXPECT_EQ(decodeJSON<EnforcementValidation>(encodeJSON(validation)), validation);
        EXPECT_FALSE(validation.didPass());
    }
    EXPECT_EQ(decodeJSON<EnforcementValidation>(R"({"passed":{}})"),
              EnforcementValidation::passed());
    EXPECT_EQ(decodeJSON<EnforcementHealthStatus>(R"({"healthy":{"x":1},"other":2})"),
              EnforcementHealthStatus::healthy());
}

TEST(Health, DecodingErrors) {
    for (const char* text :
         {"{}", R"({"healthy":{},"degraded":{"_0":"failedOpen"}})", R"({"Healthy":{}})"}) {
        const auto e = decodeError([&] { decodeJSON<EnforcementHealthStatus>(text); });
        EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch) << text;
        EXPECT_EQ(e.debugDescription(), "Invalid number of keys found, expected one.");
    }
    using K = DecodingError::Kind;
    const auto kindOf = [](auto decode) { return decodeError(decode).kind(); };
    EXPECT_EQ(kindOf([] { decodeJSON<EnforcementHealthStatus>(R"({"degraded":{}})"); }),
              K::keyNotFound);
    EXPECT_EQ(kindOf([] { decodeJSON<EnforcementValidation>(R"({"failed":{"_0":"nope"}})"); }),
              K::dataCorrupted);
    EXPECT_EQ(kindOf([] { decodeJSON<EnforcementHealthStatus>(R"({"healthy":1})"); }),
              K::typeMismatch);
    EXPECT_EQ(kindOf([] { decodeJSON<EnforcementHealthStatus>("[]"); }), K::typeMismatch);
    // Raw values are exact: no other case or surrounding space.
    for (const char* text : {"\"Healthy\"", "\"healthy \""}) {
        EXPECT_EQ(kindOf([&] { decodeJSON<CommitmentHealth>(text); }), K::dataCorrupted) << text;
    }
    EXPECT_EQ(kindOf([] { decodeJSON<DegradedReason>("\"FailedOpen\""); }), K::dataCorrupted);
}

}  // namespace
}  // namespace tolvane
