#include <gtest/gtest.h>

#include <limits>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/Scope.hpp>
#include <unordered_set>

#include "Decoding.hpp"

namespace tolvane {
namespace {

Domain D(std::string_view text) {
    return *Domain::make(text);
}

TEST(Scope, StrengtheningAddsOneGenerationPerCall) {
    const Scope scope(4, {D("a.com")});
    EXPECT_EQ(scope.strengthenedByAdding({D("b.com")}), Scope(5, {D("a.com"), D("b.com")}));
    EXPECT_EQ(scope.strengthenedByAdding({D("a.com"), D("b.com"), D("c.com")}),
              Scope(5, {D("a.com"), D("b.com"), D("c.com")}));
    EXPECT_EQ(scope, Scope(4, {D("a.com")}));  // the receiver is unchanged
    // Equal scopes hash alike whatever order their domains came in; the generation counts.
    const Scope a(3, {D("a.com"), D("b.com"), D("c.com")});
    const Scope b(3, {D("c.com"), D("b.com"), D("a.com")});
    EXPECT_EQ(std::hash<Scope>{}(a), std::hash<Scope>{}(b));
    EXPECT_NE(a, Scope(4, a.domains()));
}

TEST(Scope, StrengtheningWithNothingNewFails) {
    const auto fails = [](const Scope& scope, const DomainSet& extra,
                          ScopeStrengtheningError::Case expected) {
        try {
            scope.strengthenedByAdding(extra);
            ADD_FAILURE() << "no error";
        } catch (const ScopeStrengtheningError& e) {
            EXPECT_EQ(e.errorCase(), expected);
        }
    };
    using C = ScopeStrengtheningError::Case;
    fails(Scope(4, {D("a.com")}), {}, C::noAdditionalDomains);
    fails(Scope(4, {D("a.com")}), {D("a.com")}, C::noAdditionalDomains);
    fails(Scope(1, {}), {}, C::noAdditionalDomains);
    fails(Scope(std::numeric_limits<std::int64_t>::max(), {}), {D("a.com")},
          C::generationExhausted);
}

TEST(Scope, CoversByWholeLabelsOnly) {
    const Scope scope(1, {D("example.com")});
    EXPECT_TRUE(scope.covers(D("example.com")));
    EXPECT_TRUE(scope.covers(D("a.b.example.com")));
    EXPECT_FALSE(scope.covers(D("badexample.com")));
    EXPECT_FALSE(Scope(1, {}).covers(D("com")));
    EXPECT_TRUE(DomainMatcher(scope).matches("a.b.example.com"));
}

TEST(Scope, JSONFormAndItsErrors) {
    const Scope scope(2, {D("example.com")});
    EXPECT_EQ(encodeJSON(scope), R"({"generation":2,"domains":["example.com"]})");
    EXPECT_EQ(
        decodeJSON<Scope>(R"({"domains":["Example.com","example.com."],"generation":2,"x":1})"),
        scope);
    EXPECT_EQ(decodeJSON<Scope>(R"({"generation":-3,"domains":[]})"), Scope(-3, {}));
    EXPECT_EQ(decodeJSON<Scope>(R"({"generation":1e3,"domains":[]})"), Scope(1000, {}));

    using K = DecodingError::Kind;
    for (const auto& [text, kind] : std::initializer_list<std::pair<const char*, K>>{
             {R"({"domains":[]})", K::keyNotFound},
             {R"({"generation":1})", K::keyNotFound},
             {R"({"generation":"1","domains":[]})", K::typeMismatch},
             {R"({"generation":1.5,"domains":[]})", K::dataCorrupted},
             {R"({"generation":1e19,"domains":[]})", K::dataCorrupted},
             {R"({"generation":1,"domains":null})", K::valueNotFound}}) {
        EXPECT_EQ(testing::decodingError<Scope>(text).kind(), kind) << text;
    }
    const auto bad = testing::decodingError<Scope>(R"({"generation":1,"domains":["a.com","a b"]})");
    EXPECT_EQ(bad.kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(bad.debugDescription(), "Not a valid domain name: a b");
    EXPECT_EQ(bad.codingPathDescription(), "domains[1]");
}

}  // namespace
}  // namespace tolvane
