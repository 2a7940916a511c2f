#include "CommitmentState.hpp"

#include <tolvane/DirectiveStore.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane::cli {

using coding::Decoder;
using coding::OutJson;

void CommitmentState::bringUpToDate(Instant now) {
    if (commitment) commitment->setRemainingDuration(projectedEnd - now);
}

CommitmentState decodeState(std::string_view text) {
    const coding::Json document = coding::parseDocument(text);
    const Decoder root = Decoder(document, {}).object("CommitmentState");
    CommitmentState state;
    const Decoder directory = root.required("directory");
    state.directory = directory.string();
    if (state.directory.empty()) {
        directory.fail(DecodingError::Kind::dataCorrupted, "The directory is empty");
    }
    if (!state.directory.is_absolute()) {
        directory.fail(DecodingError::Kind::dataCorrupted, "The directory is not an absolute path");
    }
    if (const auto commitment = root.optional("commitment")) {
        state.commitment = JSONCoding<Commitment>::decode(commitment->value(), commitment->path());
        state.projectedEnd = root.required("projectedEnd").number();
    }
    if (const auto updatedAt = root.optional("updatedAt")) state.updatedAt = updatedAt->number();
    return state;
}

std::string encodeState(const CommitmentState& state) {
    OutJson out = OutJson::object();
    out["directory"] = state.directory.string();
    if (state.commitment) {
        JSONCoding<Commitment>::encode(out["commitment"], *state.commitment);
        out["projectedEnd"] = coding::encodeNumber(state.projectedEnd);
    }
    out["updatedAt"] = coding::encodeNumber(state.updatedAt);
    return out.dump(-1, ' ', false, OutJson::error_handler_t::replace) + "\n";
}

std::filesystem::path defaultStatePath() {
    return FileEnforcementDirectiveStore::defaultDirectory() / "commitments" / "state.json";
}

std::optional<CommitmentState> loadState(const std::filesystem::path& path) {
    const auto text = readSmallFile(path, "state file");
    if (!text) return std::nullopt;
    try {
        return decodeState(*text);
    } catch (const DecodingError& error) {
        throw Refusal("the state file " + path.string() +
                      " is not a commitment state: " + error.what());
    }
}

void saveState(const std::filesystem::path& path, CommitmentState state, Instant now) {
    state.bringUpToDate(now);
    state.updatedAt = now;
    writeSmallFile(path, encodeState(state));
}

WebsiteList decodeWebsites(std::string_view text) {
    const coding::Json document = coding::parseDocument(text);
    const Decoder root = Decoder(document, {}).object("WebsiteList");
    WebsiteList list;
    for (const auto& element : root.required("websites").array("Array<Website>")) {
        list.websites.push_back(JSONCoding<Website>::decode(element.value(), element.path()));
    }
    if (const auto groups = root.optional("groups")) {
        for (const auto& element : groups->array("Array<Group>")) {
            list.groups.push_back(JSONCoding<Group>::decode(element.value(), element.path()));
        }
    }
    return list;
}

WebsiteList loadWebsites(const std::string& path) {
    const auto text = readSmallFile(path, "website list");
    if (!text) throw Refusal("there is no website list at " + path);
    try {
        return decodeWebsites(*text);
    } catch (const DecodingError& error) {
        throw Refusal("the website list " + path + " is not valid: " + error.what());
    }
}

namespace {

bool isKnown(const Group::ID& id, const WebsiteList& list) {
    for (const auto& group : list.groups) {
        if (group.id() == id) return true;
    }
    for (const auto& website : list.websites) {
        if (website.groups().contains(id)) return true;
    }
    return false;
}

Group::ID resolveGroup(const std::string& text, const WebsiteList& list,
                       const std::string& listPath) {
    if (const auto id = Group::ID::make(text)) {
        if (isKnown(*id, list)) return *id;
        throw Refusal("no group with the identifier " + id->uuidString() + " in " + listPath);
    }
    std::optional<Group::ID> found;
    for (const auto& group : list.groups) {
        if (group.name() != text) continue;
        if (found && *found != group.id()) {
            throw Refusal("two groups in " + listPath + " are named " + quotedText(text) +
                          "; name the group by its identifier");
        }
        found = group.id();
    }
    if (!found) throw Refusal("no group named " + quotedText(text) + " in " + listPath);
    return *found;
}

}  // namespace

CommitmentSelection selectionFrom(const Arguments& arguments, const WebsiteList& list,
                                  const std::string& listPath) {
    if (arguments.flag("all")) return CommitmentSelection::allWebsites();
    GroupIDSet ids;
    for (const auto& text : arguments.values("group"))
        ids.insert(resolveGroup(text, list, listPath));
    auto groups = NonEmptySet<Group::ID>::make(ids);
    if (!groups) throw UsageError("give --all or at least one --group");
    return CommitmentSelection::groups(std::move(*groups));
}

}  // namespace tolvane::cli
