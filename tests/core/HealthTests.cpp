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

TEST(Health, RawValuesAreExact) {
    EXPECT_EQ(fromRawValue<DegradedReason>("failedOpen"), DegradedReason::failedOpen);
    for (const char* text : {"FailedOpen", " failedOpen", "failedOpen ", ""}) {
        EXPECT_FALSE(fromRawValue<DegradedReason>(text).has_value()) << text;
    }
    EXPECT_EQ(fromRawValue<CommitmentHealth>("degraded"), CommitmentHealth::degraded);
    EXPECT_EQ(allDegradedReasonCases[0], DegradedReason::recoveringFromCorruption);
    EXPECT_EQ(allDegradedReasonCases[2], DegradedReason::failedOpen);
    for (auto c : allEnforcementValidationFailureCases) {
        EXPECT_EQ(fromRawValue<EnforcementValidationFailure>(rawValue(c)), c);
    }
    EXPECT_EQ(rawValue(allEnforcementValidationFailureCases[4]), "inconclusive");
}

TEST(Health, DerivedProperties) {
    const auto degraded = EnforcementHealthStatus::degraded(DegradedReason::pathUnverified);
    EXPECT_FALSE(degraded.isHealthy());
    EXPECT_EQ(degraded.health(), CommitmentHealth::degraded);
    EXPECT_EQ(degraded.degradedReason(), DegradedReason::pathUnverified);
    EXPECT_EQ(EnforcementHealthStatus::healthy().health(), CommitmentHealth::healthy);
    EXPECT_FALSE(EnforcementHealthStatus::healthy().degradedReason().has_value());
    const auto failed = EnforcementValidation::failed(EnforcementValidationFailure::inconclusive);
    EXPECT_FALSE(failed.didPass());
    EXPECT_FALSE(EnforcementValidation::passed().failure().has_value());
    EXPECT_NE(degraded, EnforcementHealthStatus::degraded(DegradedReason::failedOpen));
}

TEST(Health, JSONFormsRoundTrip) {
    EXPECT_EQ(encodeJSON(EnforcementHealthStatus::healthy()), R"({"healthy":{}})");
    EXPECT_EQ(
        encodeJSON(EnforcementHealthStatus::degraded(DegradedReason::recoveringFromCorruption)),
        R"({"degraded":{"_0":"recoveringFromCorruption"}})");
    EXPECT_EQ(encodeJSON(DegradedReason::failedOpen), "\"failedOpen\"");
    for (auto reason : allDegradedReasonCases) {
        const auto status = EnforcementHealthStatus::degraded(reason);
        EXPECT_EQ(decodeJSON<EnforcementHealthStatus>(encodeJSON(status)), status);
    }
    for (auto failure : allEnforcementValidationFailureCases) {
        const auto validation = EnforcementValidation::failed(failure);
        EXPECT_EQ(decodeJSON<EnforcementValidation>(encodeJSON(validation)), validation);
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
    EXPECT_EQ(decodeError([] { decodeJSON<EnforcementHealthStatus>(R"({"degraded":{}})"); }).kind(),
              DecodingError::Kind::keyNotFound);
    EXPECT_EQ(decodeError([] {
                  decodeJSON<EnforcementValidation>(R"({"failed":{"_0":"nope"}})");
              }).kind(),
              DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(decodeError([] { decodeJSON<EnforcementHealthStatus>(R"({"healthy":1})"); }).kind(),
              DecodingError::Kind::typeMismatch);
    EXPECT_EQ(decodeError([] { decodeJSON<EnforcementHealthStatus>("[]"); }).kind(),
              DecodingError::Kind::typeMismatch);
    EXPECT_EQ(decodeError([] { decodeJSON<CommitmentHealth>("\"Healthy\""); }).kind(),
              DecodingError::Kind::dataCorrupted);
}

}  // namespace
}  // namespace tolvane
