#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <tolvane/PublicSuffixList.hpp>

#include "TestSupport.hpp"

using tolvane::asciiCompatibleHost;
using tolvane::PublicSuffixList;
using Kind = PublicSuffixList::RuleKind;

namespace {

const PublicSuffixList& smallList() {
    static const PublicSuffixList list("com\nuk\nco.uk\n*.zz\n!open.zz\n");
    return list;
}

std::string registrable(const PublicSuffixList& list, std::string_view host) {
    auto found = list.registrableDomain(host);
    return found ? std::string(*found) : "<none>";
}

TEST(PublicSuffixList, ExactWildcardAndExceptionRules) {
    const auto& list = smallList();
    struct Case {
        const char* host;
        const char* suffix;
        const char* registrable;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"example.com", "com", "example.com"},
             {"a.b.zz", "b.zz", "a.b.zz"},
             {"x.a.b.zz", "b.zz", "a.b.zz"},
             {"b.zz", "b.zz", "<none>"},
             {"open.zz", "zz", "open.zz"},
             {"a.open.zz", "zz", "open.zz"},
             {"example.test", "test", "example.test"},
             {"localhost", "localhost", "<none>"},
             {"", "", "<none>"},
         }) {
        EXPECT_EQ(list.publicSuffix(c.host), c.suffix) << c.host;
        EXPECT_EQ(registrable(list, c.host), c.registrable) << c.host;
    }
}

TEST(PublicSuffixList, ResultsAreSlicesOfTheHostAndLookupsAllocateNothing) {
    const std::string host = "mail.shop.example.co.uk";
    const auto& list = smallList();  // built before counting starts
    const auto before = tolvane::testing::allocationCount();
    const std::string_view suffix = list.publicSuffix(host);
    const auto domain = list.registrableDomain(host);
    EXPECT_EQ(tolvane::testing::allocationCount(), before);
    EXPECT_EQ(suffix.data(), host.data() + host.size() - 5);
    ASSERT_TRUE(domain);
    EXPECT_EQ(domain->data() + domain->size(), host.data() + host.size());
}

TEST(PublicSuffixList, ParsesLinesCommentsTokensAndCase) {
    const PublicSuffixList list(
        "// comment\n   // indented comment\n\n  Com  trailing words\r\n!OPEN.ZZ\r*.ZZ"
        "\xE2\x80\xA8"
        "a\tb c\xE2\x80\xA9"
        "\xE3\x80\x80wide\xC2\xA0\n*\n*.\n!\nsp/ace.uk trailing\ncom\n");
    EXPECT_TRUE(list.contains(Kind::exact, "com"));
    EXPECT_TRUE(list.contains(Kind::exception, "open.zz"));
    EXPECT_TRUE(list.contains(Kind::wildcardParent, "zz"));
    EXPECT_TRUE(list.contains(Kind::exact, "a\tb"));  // only a space ends the token
    EXPECT_TRUE(list.contains(Kind::exact, "wide"));  // U+3000 and U+00A0 are trimmed
    EXPECT_TRUE(list.contains(Kind::exact, "*"));     // no other syntax
    EXPECT_TRUE(list.contains(Kind::wildcardParent, ""));
    EXPECT_TRUE(list.contains(Kind::exception, ""));
    EXPECT_FALSE(list.contains(Kind::exact, "open.zz"));
    EXPECT_FALSE(list.contains(Kind::exact, "trailing"));
    EXPECT_EQ(list.count(Kind::exact), 5u);  // com once, a\tb, wide, *, sp/ace.uk
    EXPECT_EQ(list.count(Kind::wildcardParent), 2u);
    EXPECT_EQ(list.count(Kind::exception), 2u);
}

TEST(PublicSuffixList, NonASCIIRulesAreStoredInBothForms) {
    const PublicSuffixList list("Bücher.DE\n*.Ünï\n!Straße.de\n");
    EXPECT_TRUE(list.contains(Kind::exact, "bücher.de"));
    EXPECT_TRUE(list.contains(Kind::exact, "xn--bcher-kva.de"));
    EXPECT_TRUE(list.contains(Kind::wildcardParent, "ünï"));
    EXPECT_TRUE(list.contains(Kind::wildcardParent, *asciiCompatibleHost("ünï")));
    EXPECT_TRUE(list.contains(Kind::exception, "xn--strae-oqa.de"));
    EXPECT_EQ(registrable(list, "shop.xn--bcher-kva.de"), "shop.xn--bcher-kva.de");
    EXPECT_EQ(registrable(list, "shop.bücher.de"), "shop.bücher.de");
}

TEST(PublicSuffixList, ManyLabelsAndLongRulesStayCorrect) {
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "a.";
    const PublicSuffixList list(deep + "zz\nco.uk\n");
    EXPECT_EQ(registrable(list, "x." + deep + "zz"), "x." + deep + "zz");
    EXPECT_EQ(registrable(list, deep + "example.co.uk"), "example.co.uk");
}

TEST(AsciiCompatibleHost, ConvertsToIDNAOrGivesNothing) {
    EXPECT_EQ(asciiCompatibleHost("bücher.de"), "xn--bcher-kva.de");
    EXPECT_EQ(asciiCompatibleHost("Bücher.DE."), "xn--bcher-kva.de.");
    EXPECT_EQ(asciiCompatibleHost("ß.de"), "xn--zca.de");  // nontransitional
    EXPECT_EQ(asciiCompatibleHost("１２３"), "123");
    for (const char* bad : {"", ".", "a..b", ".a", "-a.com", "a-.com", "ab--c.com", "xn--abc.de",
                            "my_host.example", "a b", "a\uFF08b.com", "\xE2\x91\xB4.com",
                            "a.\xCC\x81", "\xFF.com", "exa\xE2\x80\x8Dmple.com"}) {
        EXPECT_EQ(asciiCompatibleHost(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(asciiCompatibleHost(std::string(64, 'a') + ".com"), std::nullopt);
    EXPECT_EQ(asciiCompatibleHost(std::string(63, 'a') + ".com"), std::string(63, 'a') + ".com");
}

// Copies share the rules and outlive the original; a list moved from keeps answering.
TEST(PublicSuffixList, CopiesOutliveTheOriginal) {
    auto original = std::make_unique<PublicSuffixList>("uk\nco.uk\n");
    const PublicSuffixList copy = *original;
    const PublicSuffixList moved = std::move(*original);
    EXPECT_EQ(registrable(*original, "a.b.co.uk"), "b.co.uk");
    original.reset();
    EXPECT_EQ(registrable(copy, "a.b.co.uk"), "b.co.uk");
    EXPECT_EQ(moved.count(Kind::exact), 2u);
}

TEST(EmbeddedPublicSuffixList, LoadsThePackagedListOnce) {
    const PublicSuffixList* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &PublicSuffixList::embedded(); });
    for (auto& t : threads) t.join();
    for (const auto* list : seen) EXPECT_EQ(list, seen[0]);

    const auto& list = PublicSuffixList::embedded();
    EXPECT_GT(list.count(Kind::exact), 9000u);
    EXPECT_EQ(registrable(list, "a.b.example.ck"), "b.example.ck");  // *.ck
    EXPECT_EQ(registrable(list, "a.www.ck"), "www.ck");              // !www.ck
    EXPECT_EQ(registrable(list, "x.city.kawasaki.jp"), "city.kawasaki.jp");
    EXPECT_EQ(registrable(list, "a.b.個人.香港"), "b.個人.香港");
    EXPECT_EQ(registrable(list, "github.io"), "<none>");
}

}  // namespace
