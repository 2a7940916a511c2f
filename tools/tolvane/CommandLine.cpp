#include "CommandLine.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <tolvane/AtomicFile.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane::cli {

namespace {

// 2001-01-01T00:00:00Z in seconds since the Unix epoch.
constexpr double referenceDateUnixSeconds = 978307200.0;

const OptionSpec* findOption(const std::vector<OptionSpec>& options, std::string_view name) {
    for (const auto& option : options) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

const std::vector<std::string>& noValues() {
    static const std::vector<std::string> none;
    return none;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& arguments,
                     const std::vector<OptionSpec>& options, bool takesPositionals) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            // A lone "-" or negative number is a positional, not an option.
            if (!optionsEnded && argument.size() > 1 && argument[0] == '-' &&
                !parseNumber(argument)) {
                throw UsageError("unknown option \"" + argument + "\"");
            }
            if (!takesPositionals) throw UsageError("unexpected argument \"" + argument + "\"");
            positionals_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name =
            argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const OptionSpec* option = findOption(options, name);
        if (!option) throw UsageError("unknown option \"--" + name + "\"");
        auto& values = given_[name];
        if (option->kind == OptionSpec::Kind::flag) {
            if (equals != std::string::npos) throw UsageError("--" + name + " takes no value");
            values.emplace_back();
            continue;
        }
        if (option->kind == OptionSpec::Kind::value && !values.empty()) {
            throw UsageError("--" + name + " is given more than once");
        }
        if (equals != std::string::npos) {
            values.push_back(argument.substr(equals + 1));
        } else if (i + 1 < arguments.size()) {
            values.push_back(arguments[++i]);
        } else {
            throw UsageError("--" + name + " needs a value");
        }
    }
}

bool Arguments::flag(std::string_view name) const {
    return has(name);
}

bool Arguments::has(std::string_view name) const {
    return given_.find(name) != given_.end();
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    const auto found = given_.find(name);
    if (found == given_.end() || found->second.empty()) return std::nullopt;
    return found->second.front();
}

const std::vector<std::string>& Arguments::values(std::string_view name) const {
    const auto found = given_.find(name);
    return found == given_.end() ? noValues() : found->second;
}

void Arguments::requireOneOf(const std::vector<std::string>& names, bool required) const {
    std::string list;
    std::size_t count = 0;
    for (const auto& name : names) {
        if (has(name)) ++count;
        list += (list.empty() ? "--" : ", --") + name;
    }
    if (count > 1) throw UsageError("give only one of " + list);
    if (required && count == 0) throw UsageError("give one of " + list);
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> parseWholeNumber(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

namespace {

// Reads exactly `count` digits at `position`; nullopt otherwise.
std::optional<int> digits(std::string_view text, std::size_t& position, std::size_t count) {
    if (position + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[position + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    position += count;
    return value;
}

bool expect(std::string_view text, std::size_t& position, char c) {
    if (position >= text.size() || text[position] != c) return false;
    ++position;
    return true;
}

std::optional<Instant> parseISO8601(std::string_view text) {
    using namespace std::chrono;
    std::size_t p = 0;
    const auto year = digits(text, p, 4);
    if (!year || !expect(text, p, '-')) return std::nullopt;
    const auto month = digits(text, p, 2);
    if (!month || !expect(text, p, '-')) return std::nullopt;
    const auto day = digits(text, p, 2);
    if (!day || !expect(text, p, 'T')) return std::nullopt;
    const auto hour = digits(text, p, 2);
    if (!hour || !expect(text, p, ':')) return std::nullopt;
    const auto minute = digits(text, p, 2);
    if (!minute || !expect(text, p, ':')) return std::nullopt;
    const auto second = digits(text, p, 2);
    if (!second) return std::nullopt;
    double fraction = 0;
    if (p < text.size() && text[p] == '.') {
        const std::size_t start = p++;
        while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
        if (p == start + 1) return std::nullopt;
        fraction = *parseNumber("0" + std::string(text.substr(start, p - start)));
    }
    const std::string_view zone = text.substr(p);
    if (zone != "Z" && zone != "+00:00") return std::nullopt;
    const year_month_day date{std::chrono::year(*year), std::chrono::month(unsigned(*month)),
                              std::chrono::day(unsigned(*day))};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    const double unixSeconds =
        static_cast<double>(sys_days(date).time_since_epoch().count()) * 86400.0 + *hour * 3600.0 +
        *minute * 60.0 + *second + fraction;
    return unixSeconds - referenceDateUnixSeconds;
}

}  // namespace

std::optional<Instant> parseInstant(std::string_view text) {
    if (auto number = parseNumber(text)) return number;
    return parseISO8601(text);
}

Instant instantOption(const Arguments& arguments, std::string_view name) {
    const auto text = arguments.value(name);
    if (!text) return wallClock();
    const auto instant = parseInstant(*text);
    if (!instant) {
        throw UsageError("--" + std::string(name) + " needs an instant (seconds since " +
                         "2001-01-01T00:00:00Z, or text like 2026-12-05T18:00:00Z), not " +
                         quotedText(*text));
    }
    return *instant;
}

Instant wallClock() {
    using namespace std::chrono;
    const auto sinceEpoch = duration<double>(system_clock::now().time_since_epoch());
    return sinceEpoch.count() - referenceDateUnixSeconds;
}

std::string isoText(Instant instant) {
    using namespace std::chrono;
    const double unixSeconds = instant + referenceDateUnixSeconds;
    // Years 0000 to 9999 only; other instants are shown as numbers alone.
    if (!std::isfinite(unixSeconds) || unixSeconds < -62167219200.0 ||
        unixSeconds >= 253402300800.0) {
        return "out of range";
    }
    double whole = std::floor(unixSeconds);
    auto micros = static_cast<long long>(std::llround((unixSeconds - whole) * 1e6));
    if (micros == 1000000) {
        whole += 1;
        micros = 0;
    }
    const auto seconds = static_cast<long long>(whole);
    const sys_days day{days{static_cast<int>(std::floor(static_cast<double>(seconds) / 86400.0))}};
    const year_month_day date{day};
    const long long secondOfDay = seconds - day.time_since_epoch().count() * 86400LL;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02lld:%02lld:%02lld", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), secondOfDay / 3600,
                  secondOfDay / 60 % 60, secondOfDay % 60);
    std::string text = buffer;
    if (micros != 0) {
        std::snprintf(buffer, sizeof buffer, ".%06lld", micros);
        std::string fraction = buffer;
        while (fraction.back() == '0') fraction.pop_back();
        text += fraction;
    }
    return text + "Z";
}

std::string numberText(double value) {
    // JSON has no infinities; a sum that overflowed is still shown for what it is.
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-infinity" : "infinity";
    return coding::encodeNumber(value).dump();
}

std::string instantText(Instant instant) {
    return numberText(instant) + " (" + isoText(instant) + ")";
}

std::string spanText(double seconds) {
    if (!std::isfinite(seconds)) return numberText(seconds) + "s";
    const bool negative = seconds < 0;
    auto total = static_cast<long long>(std::llround(std::fabs(seconds)));
    const long long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
    char buffer[64];
    if (hours > 0) {
        std::snprintf(buffer, sizeof buffer, "%lldh %02lldm %02llds", hours, minutes, rest);
    } else if (minutes > 0) {
        std::snprintf(buffer, sizeof buffer, "%lldm %02llds", minutes, rest);
    } else {
        std::snprintf(buffer, sizeof buffer, "%llds", rest);
    }
    return (negative && total != 0 ? "-" : "") + std::string(buffer);
}

std::string quotedText(std::string_view text) {
    // Arguments need not be UTF-8; bad bytes are shown as U+FFFD rather than failing.
    return nlohmann::ordered_json(std::string(text))
        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void Output::printJSON(const nlohmann::ordered_json& document) const {
    std::cout << document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
}

void Output::line(std::string_view text) const {
    if (!json_) std::cout << text << "\n";
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::string_view what) {
    try {
        return readFileBounded(path, maximumFileSize);
    } catch (const std::system_error& error) {
        throw Refusal("cannot read the " + std::string(what) + ": " + error.what());
    }
}

void writeSmallFile(const std::filesystem::path& path, std::string_view content) {
    try {
        replaceFileAtomically(path, content);
    } catch (const std::system_error& error) {
        throw Refusal(error.what());
    }
}

std::filesystem::path absolutePath(const std::filesystem::path& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    if (error)
        throw Refusal("cannot resolve " + quotedText(path.string()) + ": " + error.message());
    // "/d/" and "/d" are one directory; stored alike, they compare alike.
    auto normal = absolute.lexically_normal();
    if (normal.has_relative_path() && !normal.has_filename()) normal = normal.parent_path();
    return normal;
}

}  // namespace tolvane::cli
