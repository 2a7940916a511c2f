// JSON.hpp: the one decoding error and the entry points of every record's JSON form.
//
// Every record with a JSON form specialises `JSONCoding<T>` (declared beside the type) and
// gets whole-document helpers:
//
//   std::string text = tolvane::encodeJSON(domain);          // "\"example.com\""
//   auto d = tolvane::decodeJSON<tolvane::Domain>(text);     // throws DecodingError
//
// Conventions, shared with the companion application's encoder: compact output, members in
// field order, absent optionals left out, null read as absent, unknown members ignored,
// enumerations with payloads as one member named after the case holding "_0".
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// One step of a coding path: a member name or an array index.
struct CodingKey {
    std::string stringValue;
    std::optional<std::int64_t> intValue;

    static CodingKey member(std::string name) { return {std::move(name), std::nullopt}; }
    static CodingKey index(std::int64_t i) { return {"Index " + std::to_string(i), i}; }
    bool operator==(const CodingKey&) const = default;
};

// The decoder's standard error. `debugDescription()` holds the record's own texts where it
// defines one ("Not a valid domain name: ...", "Invalid number of keys found, expected one.").
class DecodingError : public std::runtime_error {
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    DecodingError(Kind kind, std::vector<CodingKey> codingPath, std::string debugDescription);

    Kind kind() const { return kind_; }
    const std::vector<CodingKey>& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }
    // The path as dotted text, e.g. "scope.domains[2]"; empty at the top level.
    std::string codingPathDescription() const;

    bool operator==(const DecodingError& other) const {
        return kind_ == other.kind_ && codingPath_ == other.codingPath_ &&
               debugDescription_ == other.debugDescription_;
    }

private:
    Kind kind_;
    std::vector<CodingKey> codingPath_;
    std::string debugDescription_;
};

std::string_view rawValue(DecodingError::Kind kind);
std::ostream& operator<<(std::ostream& os, const DecodingError& error);

// Specialised per type; see <tolvane/JSONCoding.hpp> for the helpers the
// specialisations use. Each specialisation has
//   static void encode(nlohmann::ordered_json& out, const T& value);
//   static T decode(const nlohmann::json& in, const std::vector<CodingKey>& path);
// `decode` reads `in`, whose position is `path`, and throws DecodingError.
template <class T>
struct JSONCoding;

// Declares the JSONCoding specialisation of a type, in that type's header.
#define TOLVANE_DECLARE_JSON_CODING(T)                                                 \
    template <>                                                                        \
    struct JSONCoding<T> {                                                             \
        static void encode(nlohmann::ordered_json& out, const T& value);               \
        static T decode(const nlohmann::json& in, const std::vector<CodingKey>& path); \
    }

// Whole-document helpers, instantiated for every type that has a JSON form.
// decodeJSON throws DecodingError for anything that is not the type's JSON form, including
// text that is not JSON at all; it never throws anything else for bad input.
template <class T>
std::string encodeJSON(const T& value);
template <class T>
T decodeJSON(std::string_view text);

// The largest nesting depth accepted in a document; deeper input is refused as corrupt
// before it is built, so hostile files cannot exhaust the stack or memory through depth.
inline constexpr int maximumJSONDepth = 512;

}  // namespace tolvane
