#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tolvane/Domain.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane {
namespace {

TEST(JSON, NumbersAreWrittenAsTheOtherSideWritesThem) {
    EXPECT_EQ(coding::encodeNumber(615.0).dump(), "615");
    EXPECT_EQ(coding::encodeNumber(600.25).dump(), "600.25");
    EXPECT_EQ(coding::encodeNumber(-12.0).dump(), "-12");
    EXPECT_EQ(coding::encodeNumber(0.1).dump(), "0.1");
    EXPECT_EQ(coding::encodeNumber(1e300).dump(), "1e+300");
    EXPECT_EQ(coding::encodeNumber(786000000.123456).dump(), "786000000.123456");
}

TEST(JSON, ShortestDecimalKeepsOneDecimalPlaceForWholeNumbers) {
    EXPECT_EQ(coding::shortestDecimal(90000), "90000.0");
    EXPECT_EQ(coding::shortestDecimal(0), "0.0");
    EXPECT_EQ(coding::shortestDecimal(-5), "-5.0");
    EXPECT_EQ(coding::shortestDecimal(86400.000001), "86400.000001");
    EXPECT_EQ(coding::shortestDecimal(0.1 + 0.2), "0.30000000000000004");
    // Ordinary magnitudes stay plain even where an exponent would be shorter.
    EXPECT_EQ(coding::shortestDecimal(100000), "100000.0");
    EXPECT_EQ(coding::shortestDecimal(-2e6), "-2000000.0");
    EXPECT_EQ(coding::shortestDecimal(0.0001), "0.0001");
    EXPECT_EQ(coding::shortestDecimal(9007199254740992.0), "9007199254740992.0");
    EXPECT_EQ(coding::shortestDecimal(0.00001), "1e-05");
    EXPECT_EQ(coding::shortestDecimal(1e16), "1e+16");
    EXPECT_EQ(coding::shortestDecimal(-1.5e300), "-1.5e+300");
}

TEST(JSON, BadDocumentsAreDataCorrupted) {
    for (std::string text :
         {std::string(""), std::string("{"), std::string("\"\xff\""), std::string("nul"),
          std::string("1e99999"), std::string(100000, '['), std::string("\"a\" \"b\"")}) {
        try {
            decodeJSON<Domain>(text);
            ADD_FAILURE() << text.substr(0, 20);
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted) << text.substr(0, 20);
            EXPECT_TRUE(e.codingPath().empty());
        }
    }
}

TEST(JSON, MismatchAndNullMessagesNameTheTypes) {
    try {
        decodeJSON<Domain>("null");
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), DecodingError::Kind::valueNotFound);
    }
    try {
        decodeJSON<Domain>("[1]");
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch);
        EXPECT_EQ(e.debugDescription(), "Expected to decode Domain but found an array instead.");
    }
}

}  // namespace
}  // namespace tolvane
