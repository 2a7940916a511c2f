#include <gtest/gtest.h>

#include <tolvane/Health.hpp>

#include "Decoding.hpp"

namespace tolvane {
namespace {

using testing::decodingError;

// The raw values are the state file's text.
TEST(Health, JSONFormsRoundTrip) {
    EXPECT_EQ(encodeJSON(EnforcementHealthStatus::healthy()), R"({"healthy":{}})");
    EXPECT_EQ(
        encodeJSON(EnforcementHealthStatus::degraded(DegradedReason::recoveringFromCorruption)),
        R"({"degraded":{"_0":"recoveringFromCorruption"}})");
    EXPECT_EQ(encodeJSON(DegradedReason::failedOpen), "\"failedOpen\"");
    for (auto reason : allDegradedReasonCases) {
        EXPECT_EQ(EnforcementHealthStatus::degraded(reason).health(), CommitmentHealth::degraded);
    }
    EXPECT_EQ(decodeJSON<EnforcementHealthStatus>(R"({"healthy":{"x":1},"other":2})"),
              EnforcementHealthStatus::healthy());
}

TEST(Health, DecodingErrors) {
    for (const char* text :
         {"{}", R"({"healthy":{},"degraded":{"_0":"failedOpen"}})", R"({"Healthy":{}})"}) {
        const auto e = decodingError<EnforcementHealthStatus>(text);
        EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch) << text;
        EXPECT_EQ(e.debugDescription(), "Invalid number of keys found, expected one.");
    }
    using K = DecodingError::Kind;
    EXPECT_EQ(decodingError<EnforcementHealthStatus>(R"({"degraded":{}})").kind(), K::keyNotFound);
    EXPECT_EQ(decodingError<EnforcementValidation>(R"({"failed":{"_0":"nope"}})").kind(),
              K::dataCorrupted);
    EXPECT_EQ(decodingError<EnforcementHealthStatus>(R"({"healthy":1})").kind(), K::typeMismatch);
    // Raw values are exact: no other case or surrounding space.
    for (const char* text : {"\"Healthy\"", "\"healthy \""}) {
        EXPECT_EQ(decodingError<CommitmentHealth>(text).kind(), K::dataCorrupted) << text;
    }
    EXPECT_EQ(decodingError<DegradedReason>("\"FailedOpen\"").kind(), K::dataCorrupted);
}

}  // namespace
}  // namespace tolvane
