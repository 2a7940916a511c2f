#include <gtest/gtest.h>

#include <set>
#include <tolvane/Website.hpp>
#include <vector>

#include "Decoding.hpp"

using namespace tolvane;
using tolvane::testing::decodingError;

namespace {

Domain domain(const char* name) {
    return *Domain::make(name);
}
Group::ID groupID(const char* text) {
    return *Group::ID::make(text);
}

const Group::ID g1 = groupID("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const Group::ID g2 = groupID("00000000-0000-4000-8000-000000000002");
const Group::ID g3 = groupID("00000000-0000-4000-8000-000000000003");

std::vector<Website> sampleWebsites() {
    return {Website(domain("a.com"), {g1}), Website(domain("b.com"), {g2}),
            Website(domain("c.com"), {})};
}

}  // namespace

TEST(GroupID, RandomIdentifiersAreVersionFourAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const Group::ID id = Group::ID::random();
        EXPECT_EQ(id.rawValue()[6] >> 4, 4);
        EXPECT_EQ(id.rawValue()[8] >> 6, 2);
        const std::string text = id.uuidString();
        EXPECT_EQ(Group::ID::make(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(GroupID, ReadsEitherCaseAndWritesUpperCase) {
    const auto lower = Group::ID::make("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(lower);
    EXPECT_EQ(*lower, g1);
    EXPECT_EQ(lower->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    for (const char* bad :
         {"", "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",
          "E621E1F8C-36C-495A-93FC-0C247A3E6E5F", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
          "{621E1F8-C36C-495A-93FC-0C247A3E6E5}", "E621E1F8 C36C 495A 93FC 0C247A3E6E5F",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E+F"}) {
        EXPECT_FALSE(Group::ID::make(bad)) << bad;
    }
}

TEST(NonEmptySet, RefusesEmptyAndComparesAsASet) {
    EXPECT_FALSE(NonEmptySet<int>::make(std::vector<int>{}));
    const auto built = NonEmptySet<int>::make(std::vector<int>{3, 2, 1, 3});
    ASSERT_TRUE(built);
    EXPECT_EQ(std::hash<NonEmptySet<int>>{}(*built),
              std::hash<NonEmptySet<int>>{}(NonEmptySet<int>(1, 2, 3)));
}

TEST(CommitmentSelection, ResolvesDomainsOfTheChosenWebsitesIntoScopes) {
    const auto websites = sampleWebsites();
    using Set = DomainSet;
    EXPECT_EQ(CommitmentSelection::allWebsites().resolvedDomains(websites),
              (Set{domain("a.com"), domain("b.com"), domain("c.com")}));
    EXPECT_EQ(CommitmentSelection::groups(NonEmptySet(g1, g2)).resolvedDomains(websites),
              (Set{domain("a.com"), domain("b.com")}));
    EXPECT_TRUE(CommitmentSelection::groups(NonEmptySet(g3)).resolvedDomains(websites).empty());
    // A website in several chosen groups, and a repeated domain, count once.
    const std::vector<Website> overlapping{Website(domain("a.com"), {g1, g2}),
                                           Website(domain("a.com"), {g2, g3})};
    EXPECT_EQ(CommitmentSelection::groups(NonEmptySet(g1, g2, g3)).resolvedDomains(overlapping),
              Set{domain("a.com")});

    EXPECT_EQ(Scope::resolving(CommitmentSelection::groups(NonEmptySet(g3)), websites),
              Scope(1, {}));

    const Scope scope(2, {domain("a.com")});
    EXPECT_EQ(scope.strengthenedByResolving(CommitmentSelection::allWebsites(), websites),
              Scope(3, {domain("a.com"), domain("b.com"), domain("c.com")}));
    EXPECT_THROW(
        scope.strengthenedByResolving(CommitmentSelection::groups(NonEmptySet(g1)), websites),
        ScopeStrengtheningError);
}

TEST(WebsiteJSON, WritesTheDescribedForms) {
    const Group group(g1, "");
    EXPECT_EQ(encodeJSON(group), R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":""})");

    EXPECT_EQ(decodeJSON<Website>(R"({"domain":"A.com.","groups":[]})"),
              Website(domain("a.com"), {}));

    EXPECT_EQ(encodeJSON(CommitmentSelection::groups(NonEmptySet(g1))),
              R"({"groups":{"_0":["E621E1F8-C36C-495A-93FC-0C247A3E6E5F"]}})");
    EXPECT_EQ(encodeJSON(CommitmentSelection::allWebsites()), R"({"allWebsites":{}})");
    EXPECT_EQ(decodeJSON<CommitmentSelection>(R"({"allWebsites":{"x":1},"other":2})"),
              CommitmentSelection::allWebsites());
    EXPECT_EQ(
        decodeJSON<NonEmptySet<Group::ID>>(
            R"(["e621e1f8-c36c-495a-93fc-0c247a3e6e5f","E621E1F8-C36C-495A-93FC-0C247A3E6E5F"])"),
        NonEmptySet(g1));
}

TEST(WebsiteJSON, RefusesMalformedInputWithTheDescribedErrors) {
    using K = DecodingError::Kind;
    for (const char* text :
         {"{}", R"({"allWebsites":{},"groups":{"_0":[]}})", R"({"AllWebsites":{}})"}) {
        const DecodingError error = decodingError<CommitmentSelection>(text);
        EXPECT_EQ(error.kind(), K::typeMismatch) << text;
        EXPECT_EQ(error.debugDescription(), "Invalid number of keys found, expected one.");
        EXPECT_TRUE(error.codingPath().empty());
    }
    const DecodingError empty = decodingError<CommitmentSelection>(R"({"groups":{"_0":[]}})");
    EXPECT_EQ(empty.kind(), K::dataCorrupted);
    EXPECT_EQ(empty.debugDescription(), "NonEmptySet cannot be decoded from an empty collection");
    EXPECT_EQ(empty.codingPathDescription(), "groups._0");
    EXPECT_EQ(decodingError<CommitmentSelection>(R"({"groups":{}})").kind(), K::keyNotFound);
    EXPECT_EQ(decodingError<CommitmentSelection>(R"({"allWebsites":[]})").kind(), K::typeMismatch);

    EXPECT_EQ(decodingError<Group::ID>(R"("not-a-uuid")").kind(), K::dataCorrupted);
    EXPECT_EQ(decodingError<Group>(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})").kind(),
              K::keyNotFound);
    EXPECT_EQ(decodingError<Website>(R"({"domain":"a.com"})").kind(), K::keyNotFound);
    const DecodingError badDomain = decodingError<Website>(R"({"domain":"a b","groups":[]})");
    EXPECT_EQ(badDomain.kind(), K::dataCorrupted);
    EXPECT_EQ(badDomain.codingPathDescription(), "domain");
    EXPECT_EQ(
        decodingError<Website>(R"({"domain":"a.com","groups":["x"]})").codingPathDescription(),
        "groups[0]");
}
