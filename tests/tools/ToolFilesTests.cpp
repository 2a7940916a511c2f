// The tool's own files, decoded and encoded in-process: the state file and the record of
// holds. The commands that use them, writing and reading both files on every run, are tested
// through the program, and ToolParsersFuzz holds each parser to its own output.
#include <gtest/gtest.h>

#include <tolvane/JSON.hpp>

#include "CommitmentState.hpp"
#include "Holds.hpp"

namespace tolvane::cli {
namespace {

DomainSet domains(std::initializer_list<const char*> names) {
    DomainSet set;
    for (const char* name : names) set.insert(*Domain::make(name));
    return set;
}

TEST(ToolFiles, StateNamesItsDirectoryAbsolutely) {
    for (const char* text :
         {R"({"directory":"relative/dir","updatedAt":0})", R"({"directory":"","updatedAt":0})"}) {
        try {
            decodeState(text);
            ADD_FAILURE() << text;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << text;
        }
    }
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
