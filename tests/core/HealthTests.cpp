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
    for (auto reason : allDegradedReasonCases) {
        EXPECT_EQ(EnforcementHealthStatus::degraded(reason).health(), CommitmentHealth::degraded);
    }
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
    // Raw values are exact: no other case or surrounding space.
    for (const char* text : {"\"Healthy\"", "\"healthy \""}) {
        EXPECT_EQ(kindOf([&] { decodeJSON<CommitmentHealth>(text); }), K::dataCorrupted) << text;
    }
    EXPECT_EQ(kindOf([] { decodeJSON<DegradedReason>("\"FailedOpen\""); }), K::dataCorrupted);
}

}  // namespace
}  // namespace tolvane
