// Holds.hpp: which commitments hold which domains in a directive directory. Every commitment
// run records its commitment there, so that a run of one state file knows what the others
// still hold and never lifts it, whichever state files exist and wherever they are.
//
//   DIR/commitments/holds.json
//   {"holds":[{"state":"/home/a/state.json","domains":["news.example"],"until":8200}]}
//
// A hold counts until `until` (the commitment's projected end) and is ignored from then on.
// The file lives in a subdirectory: a watch on DIR sees the subdirectory made once, but none
// of the writes in it, so recording a hold never makes the filter reload its directive.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <tolvane/Instant.hpp>
#include <tolvane/Scope.hpp>
#include <vector>

namespace tolvane::cli {

struct Hold {
    std::string state;  // the absolute path of the state file whose commitment this is
    DomainSet domains;
    Instant until = 0;

    bool operator==(const Hold&) const = default;
};

using Holds = std::vector<Hold>;

// DIR/commitments/holds.json.
std::filesystem::path holdsFile(const std::filesystem::path& directory);

// Throws DecodingError.
Holds decodeHolds(std::string_view text);
std::string encodeHolds(const Holds& holds);

// The holds recorded in `directory`, none without a file; Refusal when the file cannot be
// read or decoded: without it no run can tell what the others hold.
Holds loadHolds(const std::filesystem::path& directory);
// Writes the holds still counting at `now`, atomically. Call only under the directory's lock.
void saveHolds(const std::filesystem::path& directory, const Holds& holds, Instant now);

// The domains held at `now` by commitments of state files other than `state`.
DomainSet heldByOthers(const Holds& holds, const std::string& state, Instant now);
// `holds` with the hold of `state` replaced by `hold`, or removed when `hold` holds nothing.
Holds withHold(Holds holds, const std::string& state, const DomainSet& domains, Instant until);

}  // namespace tolvane::cli
