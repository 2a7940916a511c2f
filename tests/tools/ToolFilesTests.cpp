// The record of holds, in-process. The commands that use it and the state file, writing and
// reading both on every run (a relative directory refused among them), are tested through
// the program, and ToolParsersFuzz holds each parser to its own output.
#include <gtest/gtest.h>

#include <tolvane/JSON.hpp>

#include "Holds.hpp"

namespace tolvane::cli {
namespace {

DomainSet domains(std::initializer_list<const char*> names) {
    DomainSet set;
    for (const char* name : names) set.insert(*Domain::make(name));
    return set;
}

TEST(ToolFiles, HoldsCountForOtherStateFilesUntilTheirEnd) {
    const Holds holds = {{"/a.json", domains({"a.com", "shared.com"}), 100},
                         {"/b.json", domains({"b.com", "shared.com"}), 200}};
    EXPECT_EQ(heldByOthers(holds, "/a.json", 50), domains({"b.com", "shared.com"}));
    EXPECT_EQ(heldByOthers(holds, "/c.json", 100), domains({"b.com", "shared.com"}));
    EXPECT_EQ(heldByOthers(holds, "/a.json", 200), DomainSet{});

    const Holds replaced = withHold(holds, "/a.json", domains({"c.com"}), 300);
    EXPECT_EQ(heldByOthers(replaced, "/b.json", 250), domains({"c.com"}));
    EXPECT_EQ(withHold(holds, "/b.json", {}, 0), Holds{holds[0]});
    EXPECT_THROW(decodeHolds(R"({"holds":[{"state":"/a","domains":["not a domain"],"until":1}]})"),
                 DecodingError);
}

}  // namespace
}  // namespace tolvane::cli
