// CommandLine.hpp: what every `tolvane` subcommand shares: its option parser, the two ways
// a command fails (a usage error, exit 2; a refused input, exit 1), instants as numbers or
// ISO-8601 text, and the JSON or text output.
//
//   text on the command line        parseInstant
//   ------------------------------  ------------------------------
//   "600.25"                        600.25
//   "2001-01-01T00:10:00.25Z"       600.25
//   "2026-12-05T18:00:00+00:00"     818186400
//   "soon", "nan", "1e999"          nullopt
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tolvane/Instant.hpp>
#include <vector>

namespace tolvane::cli {

// A command line that does not say what to do: exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A well-formed request the tool refuses (bad input, a rule of the model, a file it cannot
// use): exit status 1.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int exitSuccess = 0;
inline constexpr int exitRefused = 1;
inline constexpr int exitUsage = 2;

// One option a subcommand accepts, written "--name" on the command line. This declaration is
// the only one: the parser, the --help text and the tests that hold the manual page and the
// shell completion to the program all read it.
struct OptionSpec {
    enum class Kind { flag, value, list };
    std::string name;
    Kind kind = Kind::flag;
    // What the value is, as help texts show it: DIR and FILE (or LIST) name paths, which
    // the shell completion completes as such.
    std::string valueName;
    // For --help; a line break starts a new line in the option's column.
    std::string help;
};

// A subcommand's arguments, parsed against its options. "--name value" and "--name=value"
// both work; "--" ends the options.
class Arguments {
public:
    // Throws UsageError for an unknown option, a missing value, a repeated single option or
    // positional arguments where none are taken.
    Arguments(const std::vector<std::string>& arguments, const std::vector<OptionSpec>& options,
              bool takesPositionals);

    bool flag(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
    const std::vector<std::string>& values(std::string_view name) const;
    bool has(std::string_view name) const;
    const std::vector<std::string>& positionals() const { return positionals_; }

    // Throws UsageError unless at most one (or, with `required`, exactly one) of `names`
    // was given.
    void requireOneOf(const std::vector<std::string>& names, bool required) const;

private:
    std::map<std::string, std::vector<std::string>, std::less<>> given_;
    std::vector<std::string> positionals_;
};

// Seconds since 2001-01-01T00:00:00Z, or ISO-8601 UTC text (Z or +00:00, optional fraction).
std::optional<Instant> parseInstant(std::string_view text);
// A finite decimal number.
std::optional<double> parseNumber(std::string_view text);
std::optional<std::int64_t> parseWholeNumber(std::string_view text);

// The option's instant, or the wall clock when it was not given; UsageError when malformed.
Instant instantOption(const Arguments& arguments, std::string_view name = "at");
Instant wallClock();

// "2026-12-05T18:00:00Z", with a fraction when there is one ("...:00.25Z").
std::string isoText(Instant instant);
// The number as the directive file writes it: 615, 600.25.
std::string numberText(double value);
// "600.25 (2001-01-01T00:10:00.25Z)".
std::string instantText(Instant instant);
// A span of seconds for people: "1h 05m 00s", "42s"; rounded to whole seconds.
std::string spanText(double seconds);
// The text in double quotes, escaped as in JSON.
std::string quotedText(std::string_view text);

// Where a subcommand writes its result: text for people, or one JSON document with --json.
class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool isJSON() const { return json_; }
    // Writes `document` on one line to standard output.
    void printJSON(const nlohmann::ordered_json& document) const;
    // A line of text, only in text mode.
    void line(std::string_view text) const;

private:
    bool json_;
};

// Files the tool reads are small; anything past this is not one of them.
inline constexpr std::size_t maximumFileSize = 16 * 1024 * 1024;
// The whole regular file, nullopt when there is none; Refusal naming `what` and the path when
// it cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::string_view what);
// Replaces the file atomically (mode 0600); Refusal when it cannot.
void writeSmallFile(const std::filesystem::path& path, std::string_view content);
// The path made absolute against the working directory, so that a later run from elsewhere
// means the same file.
std::filesystem::path absolutePath(const std::filesystem::path& path);

}  // namespace tolvane::cli
