// JSONCoding.hpp: helpers for writing JSONCoding<T> specialisations.
//
// Include only from .cpp files: it brings in the whole of <nlohmann/json.hpp>.
// A Decoder is a JSON value plus its coding path; every accessor throws the decoder's
// standard DecodingError with the path filled in.
//
//   Scope JSONCoding<Scope>::decode(const nlohmann::json& in, const CodingPath& path) {
//       Decoder d(in, path);
//       auto object = d.object("Scope");
//       auto generation = object.required("generation").int64();
//       ...
//   }
#pragma once

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/JSON.hpp>
#include <vector>

namespace tolvane::coding {

// Decoding reads a sorted map (quick to parse, whatever the input); encoding writes members
// in insertion order, which is field order.
using Json = nlohmann::json;
using OutJson = nlohmann::ordered_json;
using CodingPath = std::vector<CodingKey>;

[[noreturn]] void throwDecoding(DecodingError::Kind kind, const CodingPath& path,
                                std::string description);

// The type name a mismatch message uses for a JSON value ("a string", "a number", ...).
std::string_view describeJSONType(const Json& value);

class Decoder {
public:
    Decoder(const Json& value, CodingPath path) : value_(&value), path_(std::move(path)) {}

    const Json& value() const { return *value_; }
    const CodingPath& path() const { return path_; }
    bool isNull() const { return value_->is_null(); }

    // Scalars. `typeName` names the expected type in error texts.
    std::string string(std::string_view typeName = "String") const;
    std::int64_t int64() const;
    double number() const;

    // Requires an object; `typeName` names the record in error texts.
    Decoder object(std::string_view typeName) const;
    // Requires an array; the elements with their paths.
    std::vector<Decoder> array(std::string_view typeName) const;

    // On an object decoder: a member that must be present and not null.
    Decoder required(const std::string& key) const;
    // On an object decoder: a member read as absent when missing or null.
    std::optional<Decoder> optional(const std::string& key) const;
    bool contains(const std::string& key) const;

    [[noreturn]] void fail(DecodingError::Kind kind, std::string description) const {
        throwDecoding(kind, path_, std::move(description));
    }
    [[noreturn]] void typeMismatch(std::string_view expected) const;

private:
    const Json* value_;
    CodingPath path_;
};

// Writes a double as the other side's encoder does: whole numbers without ".0" (615),
// everything else as the shortest text that reads back as the same double (600.25).
OutJson encodeNumber(double value);

// The shortest decimal text that reads back as `value`, whole numbers keeping one decimal
// place (90000.0, 100000.0, -5.0, 0.0001); magnitudes below 0.0001 or above 2^53 in exponent
// form (1e-05, 1e+16).
std::string shortestDecimal(double value);

// Parses a whole document, refusing nesting deeper than maximumJSONDepth.
Json parseDocument(std::string_view text);

// An enumeration with payloads: exactly one of `caseNames` among the object's members.
// Returns the index of the case present; throws the described type mismatch otherwise.
std::size_t decodeCaseName(const Decoder& object, std::string_view typeName,
                           std::initializer_list<std::string_view> caseNames);

// {"case":{}} and {"case":{"_0":payload}}.
OutJson encodeCase(std::string_view caseName);
OutJson encodeCase(std::string_view caseName, OutJson payload);

}  // namespace tolvane::coding

namespace tolvane {

template <class T>
std::string encodeJSON(const T& value) {
    coding::OutJson out;
    JSONCoding<T>::encode(out, value);
    return out.dump();
}

template <class T>
T decodeJSON(std::string_view text) {
    const coding::Json document = coding::parseDocument(text);
    return JSONCoding<T>::decode(document, {});
}

// Explicit instantiation of both helpers for a type, in the .cpp that codes it.
#define TOLVANE_INSTANTIATE_JSON(T)                     \
    template std::string encodeJSON<T>(const T& value); \
    template T decodeJSON<T>(std::string_view text)

}  // namespace tolvane
