#include <gtest/gtest.h>

#include <string>
#include <tolvane/Domain.hpp>
#include <tolvane/DomainMatcher.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane {
namespace {

Domain D(std::string_view text) {
    return *Domain::make(text);
}

TEST(Domain, NormalisesCaseAndOneTrailingDot) {
    EXPECT_EQ(D("Example.COM").name(), "example.com");
    EXPECT_EQ(D("example.com.").name(), "example.com");
    EXPECT_EQ(D("BÜCHER.de").name(), "bücher.de");
    EXPECT_EQ(D("\u0130stanbul.tr").name(), "i\u0307stanbul.tr");  // full mapping, not simple
    // Each character maps on its own: no word-final sigma.
    EXPECT_EQ(D("\u039F\u0394\u039F\u03A3").name(), "\u03BF\u03B4\u03BF\u03C3");
}

TEST(Domain, AcceptsWhatOnlyTheNormaliserWouldRefuse) {
    for (const char* text : {"com", "localhost", "xn--bcher-kva.de", "bücher.de", "my_host.example",
                             "1.2.3.4", "-a-.b", "a/\u0301b"}) {
        EXPECT_TRUE(Domain::make(text).has_value()) << text;
    }
}

TEST(Domain, RejectsEmptyLabelsWhitespaceAndExcludedCharacters) {
    for (const char* text :
         {"example..com", ".example.com", "example.com..", "", ".", "exa mple.com", "example.com\n",
          "a@b.com", "example.com:443", "example.com/path", "[::1]", "a\tb", "a\u00a0b", "a\u2028b",
          "a\u3000b"}) {
        EXPECT_FALSE(Domain::make(text).has_value()) << text;
    }
    for (char c : std::string("/\\?#@:[]\"'<>,;=&%+!*()")) {
        EXPECT_FALSE(Domain::make(std::string("a") + c + "b").has_value()) << c;
    }
    EXPECT_FALSE(Domain::make("a\u037Eb").has_value());  // a Greek question mark is a ';'
    // A combining mark makes a dot another character, so it no longer separates labels.
    EXPECT_TRUE(Domain::make("a..\u0301b").has_value());
}

TEST(Domain, LabelsWithinAndOrder) {
    EXPECT_EQ(D("mail.example.com").labels(),
              (std::vector<std::string_view>{"mail", "example", "com"}));
    const Domain marked = D("a..\u0301b");  // the second dot carries a combining mark
    EXPECT_EQ(marked.labels(), (std::vector<std::string_view>{"a", ".\u0301b"}));
    EXPECT_TRUE(D("mail.example.com").isWithin(D("example.com")));
    EXPECT_TRUE(D("example.com").isWithin(D("example.com")));
    EXPECT_FALSE(D("badexample.com").isWithin(D("example.com")));
    EXPECT_FALSE(D("example.com").isWithin(D("mail.example.com")));
    EXPECT_LT(D("a.com"), D("b.com"));
}

// Each answer against the plain rule, on many names, is DomainMatcherFuzz's; these are the
// classic slips: a suffix that is no whole label, and per-character case folding.
TEST(DomainMatcher, MatchesWholeLabelsAndFoldsNonASCIICapitals) {
    const DomainMatcher matcher(std::vector{D("example.com"), D("bücher.de"), D("example.com")});
    EXPECT_FALSE(matcher.matches("notexample.com"));
    EXPECT_TRUE(matcher.matches("SHOP.BÜCHER.DE"));
    EXPECT_FALSE(matcher.matches("bucher.de"));
    // The host folds per character, as the names did: a closing capital sigma is σ.
    EXPECT_TRUE(DomainMatcher(std::vector{D("\u03C3\u03B1\u03C3")}).matches("\u03A3\u0391\u03A3"));
}

TEST(DomainMatcher, MatchingAllocatesNothing) {
    std::vector<Domain> domains;
    for (int i = 0; i < 1000; ++i) domains.push_back(D("blocked" + std::to_string(i) + ".com"));
    const DomainMatcher matcher(domains);
    const std::string hosts[] = {"a.b.blocked7.com", "Mail.Blocked8.COM", "free.example.org",
                                 std::string(300, 'x') + ".blocked9.com"};
    const auto before = testing::allocationCount();
    int hits = 0;
    for (const auto& host : hosts) hits += matcher.matches(host);
    EXPECT_EQ(testing::allocationCount(), before);
    EXPECT_EQ(hits, 3);
}

}  // namespace
}  // namespace tolvane
