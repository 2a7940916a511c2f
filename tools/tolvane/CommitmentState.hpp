// CommitmentState.hpp: the files of the commitment workflow. The state file keeps the
// commitment with what the tool needs besides it; the website list is what a selection
// resolves against.
//
//   state file     {"directory":"/var/lib/tolvane",
//                   "commitment":{"activatedAt":T,"scope":{...},"remainingDuration":S,
//                                 "health":"healthy"},
//                   "projectedEnd":T+S,"updatedAt":T}
//                  ("commitment" and "projectedEnd" are left out once it has ended)
//   website list   {"websites":[{"domain":"a.com","groups":["E621..."]}],
//                   "groups":[{"id":"E621...","name":"News"}]}
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/Commitment.hpp>
#include <tolvane/Website.hpp>
#include <vector>

#include "CommandLine.hpp"

namespace tolvane::cli {

struct CommitmentState {
    // Where the commitment's directives are published.
    std::filesystem::path directory;
    std::optional<Commitment> commitment;
    // With a commitment: the end last projected. The remaining duration is measured from it
    // at every use, so the end stays put however the clock is read.
    Instant projectedEnd = 0;
    // When the file was last written.
    Instant updatedAt = 0;

    // A commitment whose projected end lies after `now`.
    bool isActive(Instant now) const { return commitment && projectedEnd > now; }
    // Sets the commitment's remaining duration to what is left of it at `now`.
    void bringUpToDate(Instant now);

    bool operator==(const CommitmentState&) const = default;
};

// The state file's JSON form. Decoding throws DecodingError, also for a directory that is
// not absolute (it would name another place from another working directory); encoding writes
// the state as it is, so what decodes encodes to the same state.
CommitmentState decodeState(std::string_view text);
std::string encodeState(const CommitmentState& state);

// The state file unless --state names another: DIR/commitments/state.json of the default
// directive directory, beside the record of holds, where writing does not wake the filter's
// watch on DIR.
std::filesystem::path defaultStatePath();

// nullopt when there is no file at `path`; Refusal when it cannot be read or is no state.
std::optional<CommitmentState> loadState(const std::filesystem::path& path);
// Writes the state as of `now`, atomically.
void saveState(const std::filesystem::path& path, CommitmentState state, Instant now);

struct WebsiteList {
    std::vector<Website> websites;
    std::vector<Group> groups;
};

// Throws DecodingError ("groups" may be left out).
WebsiteList decodeWebsites(std::string_view text);
// Refusal when the file cannot be read or is no website list.
WebsiteList loadWebsites(const std::string& path);

// The selection of --all or --group NAME_OR_ID...; a group is named by its identifier or
// by its name. Refusal for a group the list does not know or a name two groups share.
CommitmentSelection selectionFrom(const Arguments& arguments, const WebsiteList& list,
                                  const std::string& listPath);

}  // namespace tolvane::cli
