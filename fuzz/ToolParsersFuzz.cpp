// The tolvane tool's parsers, one chosen by the first byte: the state file, the website list,
// the record of holds, and an instant as typed on the command line. Whatever they accept must
// come back the same through their own output.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tolvane/JSONCoding.hpp>

#include "CommandLine.hpp"
#include "CommitmentState.hpp"
#include "Holds.hpp"

namespace {

using namespace tolvane;
using namespace tolvane::cli;

void check(bool property) {
    if (!property) __builtin_trap();
}

void stateFile(std::string_view text) {
    CommitmentState state;
    try {
        state = decodeState(text);
    } catch (const DecodingError&) {
        return;
    }
    check(state.directory.is_absolute());
    check(decodeState(encodeState(state)) == state);
}

std::string encodeWebsites(const WebsiteList& list) {
    coding::OutJson out = coding::OutJson::object();
    auto& websites = out["websites"] = coding::OutJson::array();
    for (const auto& website : list.websites) {
        JSONCoding<Website>::encode(websites.emplace_back(), website);
    }
    auto& groups = out["groups"] = coding::OutJson::array();
    for (const auto& group : list.groups) JSONCoding<Group>::encode(groups.emplace_back(), group);
    return out.dump();
}

void websiteList(std::string_view text) {
    WebsiteList list;
    try {
        list = decodeWebsites(text);
    } catch (const DecodingError&) {
        return;
    }
    const WebsiteList again = decodeWebsites(encodeWebsites(list));
    check(again.websites == list.websites && again.groups == list.groups);
}

void holds(std::string_view text) {
    Holds decoded;
    try {
        decoded = decodeHolds(text);
    } catch (const DecodingError&) {
        return;
    }
    check(decodeHolds(encodeHolds(decoded)) == decoded);
}

void instant(std::string_view text) {
    const auto parsed = parseInstant(text);
    if (!parsed) return;
    check(std::isfinite(*parsed));
    // Shown with microseconds, an instant reads back as itself up to that rounding and the
    // double's own precision at its size.
    const std::string shown = isoText(*parsed);
    spanText(*parsed);
    instantText(*parsed);
    if (shown == "out of range") return;
    const auto back = parseInstant(shown);
    check(back.has_value());
    check(std::fabs(*back - *parsed) <= 1e-6 + std::fabs(*parsed + 978307200.0) * 1e-15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            stateFile(text);
            break;
        case 1:
            websiteList(text);
            break;
        case 2:
            holds(text);
            break;
        default:
            instant(text);
            break;
    }
    return 0;
}
