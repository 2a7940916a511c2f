#include "Holds.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tolvane/AtomicFile.hpp>
#include <tolvane/JSONCoding.hpp>

#include "CommandLine.hpp"
#include "Commands.hpp"

namespace tolvane::cli {

using coding::Decoder;
using coding::OutJson;

Holds decodeHolds(std::string_view text) {
    const coding::Json document = coding::parseDocument(text);
    const Decoder root = Decoder(document, {}).object("Holds");
    Holds holds;
    for (const auto& element : root.required("holds").array("Array<Hold>")) {
        const Decoder object = element.object("Hold");
        Hold hold;
        hold.state = object.required("state").string();
        for (const auto& domain : object.required("domains").array("Array<Domain>")) {
            hold.domains.insert(JSONCoding<Domain>::decode(domain.value(), domain.path()));
        }
        hold.until = object.required("until").number();
        holds.push_back(std::move(hold));
    }
    return holds;
}

std::string encodeHolds(const Holds& holds) {
    OutJson list = OutJson::array();
    for (const Hold& hold : holds) {
        OutJson object = OutJson::object();
        object["state"] = hold.state;
        object["domains"] = sortedJSON(hold.domains);
        object["until"] = coding::encodeNumber(hold.until);
        list.push_back(std::move(object));
    }
    return OutJson{{"holds", std::move(list)}}.dump(-1, ' ', false,
                                                    OutJson::error_handler_t::replace) +
           "\n";
}

std::filesystem::path holdsFile(const std::filesystem::path& directory) {
    return directory / "commitments" / "holds.json";
}

Holds loadHolds(const std::filesystem::path& directory) {
    const std::filesystem::path path = holdsFile(directory);
    const auto text = readSmallFile(path, "record of commitments");
    if (!text) return {};
    try {
        return decodeHolds(*text);
    } catch (const DecodingError& error) {
        throw Refusal("the record of commitments " + path.string() +
                      " is not valid, so what other commitments hold is unknown: " + error.what());
    }
}

void saveHolds(const std::filesystem::path& directory, const Holds& holds, Instant now) {
    Holds counting;
    std::copy_if(holds.begin(), holds.end(), std::back_inserter(counting),
                 [now](const Hold& hold) { return hold.until > now; });
    const std::filesystem::path path = holdsFile(directory);
    std::error_code error;
    if (counting.empty() && !std::filesystem::exists(path, error)) return;
    if (::mkdir(path.parent_path().c_str(), 0700) != 0 && errno != EEXIST) {
        throw Refusal("cannot make " + path.parent_path().string() + ": " + std::strerror(errno));
    }
    removeStaleTemporaries(path);
    writeSmallFile(path, encodeHolds(counting));
}

DomainSet heldByOthers(const Holds& holds, const std::string& state, Instant now) {
    DomainSet held;
    for (const Hold& hold : holds) {
        if (hold.state != state && hold.until > now) {
            held.insert(hold.domains.begin(), hold.domains.end());
        }
    }
    return held;
}

Holds withHold(Holds holds, const std::string& state, const DomainSet& domains, Instant until) {
    std::erase_if(holds, [&](const Hold& hold) { return hold.state == state; });
    if (!domains.empty()) holds.push_back(Hold{state, domains, until});
    return holds;
}

}  // namespace tolvane::cli
