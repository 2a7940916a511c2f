#include <gtest/gtest.h>

#include <tolvane/Domain.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane {
namespace {

TEST(JSON, NumbersAreWrittenAsTheOtherSideWritesThem) {
    for (auto [number, text] :
         std::vector<std::pair<double, std::string>>{{615.0, "615"},
                                                     {600.25, "600.25"},
                                                     {-12.0, "-12"},
                                                     {1e300, "1e+300"},
                                                     {786000000.123456, "786000000.123456"}}) {
        EXPECT_EQ(coding::encodeNumber(number).dump(), text);
    }
    // Whole numbers keep one decimal place; ordinary magnitudes stay plain even where an
    // exponent would be shorter.
    for (auto [number, text] :
         std::vector<std::pair<double, std::string>>{{90000, "90000.0"},
                                                     {-5, "-5.0"},
                                                     {0.1 + 0.2, "0.30000000000000004"},
                                                     {-2e6, "-2000000.0"},
                                                     {0.0001, "0.0001"},
                                                     {9007199254740992.0, "9007199254740992.0"},
                                                     {0.00001, "1e-05"},
                                                     {1e16, "1e+16"},
                                                     {-1.5e300, "-1.5e+300"}}) {
        EXPECT_EQ(coding::shortestDecimal(number), text);
    }
}

TEST(JSON, BadDocumentsAreDataCorruptedAndMismatchesNameTheType) {
    for (std::string text : {std::string(""), std::string("{"), std::string("\"\xff\""),
                             std::string("1e99999"), std::string(100000, '['),
                             std::string("\"a\" \"b\""), std::string("null"), std::string("[1]")}) {
        try {
            decodeJSON<Domain>(text);
            ADD_FAILURE() << text.substr(0, 20);
        } catch (const DecodingError& e) {
            if (text == "null") {
                EXPECT_EQ(e.kind(), DecodingError::Kind::valueNotFound);
            } else if (text == "[1]") {
                EXPECT_EQ(e.debugDescription(),
                          "Expected to decode Domain but found an array instead.");
            } else {
                EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted) << text.substr(0, 20);
            }
        }
    }
}

}  // namespace
}  // namespace tolvane
