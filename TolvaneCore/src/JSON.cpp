#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <ostream>
#include <tolvane/JSON.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane {

namespace {
std::string describe(DecodingError::Kind kind, const std::vector<CodingKey>& path,
                     const std::string& text) {
    std::string out(rawValue(kind));
    out += " at ";
    std::string where;
    for (const auto& key : path) {
        if (key.intValue) {
            where += "[" + std::to_string(*key.intValue) + "]";
        } else {
            if (!where.empty()) where += '.';
            where += key.stringValue;
        }
    }
    out += where.empty() ? "the top level" : where;
    out += ": ";
    out += text;
    return out;
}
}  // namespace

DecodingError::DecodingError(Kind kind, std::vector<CodingKey> codingPath,
                             std::string debugDescription)
    : std::runtime_error(describe(kind, codingPath, debugDescription)),
      kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

std::string DecodingError::codingPathDescription() const {
    std::string where;
    for (const auto& key : codingPath_) {
        if (key.intValue) {
            where += "[" + std::to_string(*key.intValue) + "]";
        } else {
            if (!where.empty()) where += '.';
            where += key.stringValue;
        }
    }
    return where;
}

std::string_view rawValue(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::keyNotFound:
            return "keyNotFound";
        case DecodingError::Kind::valueNotFound:
            return "valueNotFound";
        case DecodingError::Kind::typeMismatch:
            return "typeMismatch";
        case DecodingError::Kind::dataCorrupted:
            return "dataCorrupted";
    }
    return "dataCorrupted";
}

std::ostream& operator<<(std::ostream& os, const DecodingError& error) {
    return os << error.what();
}

}  // namespace tolvane

namespace tolvane::coding {

void throwDecoding(DecodingError::Kind kind, const CodingPath& path, std::string description) {
    throw DecodingError(kind, path, std::move(description));
}

std::string_view describeJSONType(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::object:
            return "a dictionary";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            return "a number";
        default:
            return "an unknown value";
    }
}

void Decoder::typeMismatch(std::string_view expected) const {
    if (value_->is_null()) {
        fail(DecodingError::Kind::valueNotFound,
             "Expected " + std::string(expected) + " value but found null instead.");
    }
    fail(DecodingError::Kind::typeMismatch,
         "Expected to decode " + std::string(expected) + " but found " +
             std::string(describeJSONType(*value_)) + " instead.");
}

std::string Decoder::string(std::string_view typeName) const {
    if (!value_->is_string()) typeMismatch(typeName);
    return value_->get_ref<const std::string&>();
}

std::int64_t Decoder::int64() const {
    switch (value_->type()) {
        case Json::value_t::number_integer:
            return value_->get<std::int64_t>();
        case Json::value_t::number_unsigned: {
            auto u = value_->get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(u);
            }
            fail(DecodingError::Kind::dataCorrupted,
                 "Parsed JSON number <" + std::to_string(u) + "> does not fit in Int64.");
        }
        case Json::value_t::number_float: {
            // 5.0 and 1e3 are whole numbers too; only fractions and out-of-range values fail.
            const double d = value_->get<double>();
            if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
                return static_cast<std::int64_t>(d);
            }
            fail(DecodingError::Kind::dataCorrupted,
                 "Parsed JSON number <" + shortestDecimal(d) + "> does not fit in Int64.");
        }
        default:
            typeMismatch("Int64");
    }
}

double Decoder::number() const {
    if (!value_->is_number()) typeMismatch("Double");
    return value_->get<double>();
}

Decoder Decoder::object(std::string_view typeName) const {
    if (!value_->is_object()) typeMismatch(typeName);
    return *this;
}

std::vector<Decoder> Decoder::array(std::string_view typeName) const {
    if (!value_->is_array()) typeMismatch(typeName);
    std::vector<Decoder> elements;
    elements.reserve(value_->size());
    std::int64_t index = 0;
    for (const auto& element : *value_) {
        CodingPath path = path_;
        path.push_back(CodingKey::index(index++));
        elements.emplace_back(element, std::move(path));
    }
    return elements;
}

Decoder Decoder::required(const std::string& key) const {
    auto found = value_->find(key);
    if (found == value_->end()) {
        fail(DecodingError::Kind::keyNotFound, "No value associated with key \"" + key + "\".");
    }
    CodingPath path = path_;
    path.push_back(CodingKey::member(key));
    return Decoder(*found, std::move(path));
}

std::optional<Decoder> Decoder::optional(const std::string& key) const {
    auto found = value_->find(key);
    if (found == value_->end() || found->is_null()) return std::nullopt;
    CodingPath path = path_;
    path.push_back(CodingKey::member(key));
    return Decoder(*found, std::move(path));
}

bool Decoder::contains(const std::string& key) const {
    return value_->contains(key);
}

OutJson encodeNumber(double value) {
    constexpr double exactIntegers = 9007199254740992.0;  // 2^53
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < exactIntegers) {
        return OutJson(static_cast<std::int64_t>(value));
    }
    return OutJson(value);
}

std::string shortestDecimal(double value) {
    // Plain decimals from 0.0001 up to 2^53, the range in which doubles usually stand for
    // ordinary quantities; exponent form outside it, whichever text happens to be shorter.
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude <= 9007199254740992.0);
    std::array<char, 64> buffer{};
    auto [end, ec] = !std::isfinite(value)
                         ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value)
                     : plain ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                             std::chars_format::fixed)
                             : std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                             std::chars_format::scientific);
    std::string text(buffer.data(), ec == std::errc() ? end : buffer.data());
    if (plain && text.find('.') == std::string::npos) text += ".0";
    return text;
}

Json parseDocument(std::string_view text) {
    // Depth is checked on the raw text first: the parser itself would build any depth.
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maximumJSONDepth) {
                throwDecoding(DecodingError::Kind::dataCorrupted, {},
                              "The given data was not valid JSON. Nesting deeper than " +
                                  std::to_string(maximumJSONDepth) + " levels.");
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const Json::exception& error) {
        throwDecoding(DecodingError::Kind::dataCorrupted, {},
                      std::string("The given data was not valid JSON. ") + error.what());
    }
}

std::size_t decodeCaseName(const Decoder& object, std::string_view typeName,
                           std::initializer_list<std::string_view> caseNames) {
    Decoder checked = object.object(typeName);
    std::size_t found = caseNames.size();
    std::size_t count = 0;
    std::size_t index = 0;
    for (auto name : caseNames) {
        if (checked.value().contains(name)) {
            found = index;
            ++count;
        }
        ++index;
    }
    if (count != 1) {
        object.fail(DecodingError::Kind::typeMismatch,
                    "Invalid number of keys found, expected one.");
    }
    return found;
}

OutJson encodeCase(std::string_view caseName) {
    OutJson out = OutJson::object();
    out[std::string(caseName)] = OutJson::object();
    return out;
}

OutJson encodeCase(std::string_view caseName, OutJson payload) {
    OutJson inner = OutJson::object();
    inner["_0"] = std::move(payload);
    OutJson out = OutJson::object();
    out[std::string(caseName)] = std::move(inner);
    return out;
}

}  // namespace tolvane::coding
