// What people read and type against what the programs accept: every option of every tolvane
// command (from the declarations the parser uses) and of tolvane-filter (from its --help) is
// described in the manual page, offered by the bash completion, and shown by --help; the
// pages render without warnings, and the help shows the build's default directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tolvane/DirectiveStore.hpp>
#include <tolvane/Version.hpp>

#include "Commands.hpp"
#include "TestSupport.hpp"

namespace tolvane::cli {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;
using tolvane::testing::builtProgram;
using tolvane::testing::runProcess;

std::string sourceFile(const std::string& relative) {
    std::ifstream file(std::string(TOLVANE_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(file) << relative;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

// Every "--name" in the text; roff's "\-" counts as "-".
Names optionsIn(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    Names found;
    const std::regex option("--[a-z][a-z0-9-]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

Names optionsOf(const Command& command) {
    Names names;
    for (const auto& option : acceptedOptions(command)) names.insert("--" + option.name);
    return names;
}

// The source of each .SH and .SS section of a manual page, by its title.
std::map<std::string, std::string> sections(const std::string& page) {
    std::map<std::string, std::string> found;
    std::string* current = nullptr;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(".SH ", 0) == 0 || line.rfind(".SS ", 0) == 0) {
            std::string title = line.substr(4);
            std::erase(title, '"');
            current = &found[title];
        } else if (current) {
            *current += line + "\n";
        }
    }
    return found;
}

// What the bash completion offers for `words` (the last one being completed), run in
// `directory`.
Names complete(const std::vector<std::string>& words, const fs::path& directory = "/") {
    const std::string function = words[0] == "tolvane" ? "_tolvane" : "_tolvane_filter";
    std::vector<std::string> argv = {
        "/bin/bash",
        "-c",
        "cd \"$1\" && source \"$2\" && shift 2 && COMP_WORDS=(\"$@\") && "
        "COMP_CWORD=$(($# - 1)) && " +
            function + " && printf '%s\\n' \"${COMPREPLY[@]}\"",
        "bash",
        directory.string(),
        std::string(TOLVANE_SOURCE_DIR) + "/completion/" + words[0]};
    argv.insert(argv.end(), words.begin(), words.end());
    const auto result = runProcess(argv);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
    Names offered;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) offered.insert(line);
    }
    return offered;
}

// `tolvane COMMAND... extra...`, as completion words.
std::vector<std::string> typed(const Command& command, const std::vector<std::string>& extra) {
    std::vector<std::string> words = wordsOf("tolvane " + command.name);
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
}

tolvane::testing::ProcessResult run(std::vector<std::string> words) {
    words[0] = builtProgram(words[0]);
    return runProcess(words);
}

// Runs of blanks and line breaks as one space: help wraps where it likes.
std::string flattened(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

TEST(CommandLineDocumentation, EveryCommandsOptionsAreInItsManualSectionItsHelpAndCompletion) {
    const auto page = sections(sourceFile("man/tolvane.1"));
    const fs::path directory = FileEnforcementDirectiveStore::defaultDirectory();
    for (const Command& command : allCommands()) {
        SCOPED_TRACE(command.name);
        const Names accepted = optionsOf(command);
        ASSERT_TRUE(page.count(command.name)) << "no .SS section for the command";
        EXPECT_EQ(optionsIn(page.at(command.name)), accepted);
        EXPECT_EQ(complete(typed(command, {"--"})), accepted);
        const auto help = run(typed(command, {"--help"}));
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(optionsIn(help.standardOutput), accepted);
        // The help names the default the build chose rather than one written into the text,
        // and the state file's default lies in the subdirectory the filter does not watch.
        const std::string flat = flattened(help.standardOutput);
        if (accepted.count("--directory")) {
            EXPECT_NE(flat.find(directory.string() + ")"), std::string::npos) << flat;
        }
        if (accepted.count("--state")) {
            const auto state = "(default: " + (directory / "commitments/state.json").string();
            EXPECT_NE(flat.find(state), std::string::npos) << flat;
        }
    }
}

// A path is completed as one: a directory for DIR, any file for FILE or LIST; "--name=" too.
TEST(CommandLineDocumentation, OptionsTakingPathsCompleteThem) {
    const tolvane::testing::TemporaryDirectory temporary;
    fs::create_directory(temporary.path() / "sub");
    std::ofstream(temporary.path() / "file.json") << "{}";
    const std::map<std::string, Names> byValue = {
        {"DIR", {"sub"}}, {"FILE", {"file.json", "sub"}}, {"LIST", {"file.json", "sub"}}};
    for (const Command& command : allCommands()) {
        for (const OptionSpec& option : command.options) {
            if (option.kind == OptionSpec::Kind::flag) continue;
            SCOPED_TRACE(command.name + " --" + option.name);
            const auto expected =
                byValue.count(option.valueName) ? byValue.at(option.valueName) : Names{};
            EXPECT_EQ(complete(typed(command, {"--" + option.name, ""}), temporary.path()),
                      expected);
            EXPECT_EQ(complete(typed(command, {"--" + option.name, "=", ""}), temporary.path()),
                      expected);
        }
    }
    EXPECT_EQ(complete({"tolvane-filter", "--show-private", "--directory", ""}, temporary.path()),
              Names{"sub"});
}

TEST(CommandLineDocumentation, CommandsAndSubcommandsComplete) {
    Names commands = {"--json", "--help", "--version"};
    std::map<std::string, Names> subcommands;
    for (const Command& command : allCommands()) {
        const auto words = wordsOf(command.name);
        commands.insert(words[0]);
        if (words.size() > 1) subcommands[words[0]].insert({words[1], "--help"});
    }
    EXPECT_EQ(complete({"tolvane", ""}), commands);
    EXPECT_EQ(complete({"tolvane", "--json", ""}), commands);  // global options are skipped
    for (const auto& [group, names] : subcommands) {
        EXPECT_EQ(complete({"tolvane", group, ""}), names) << group;
    }
    EXPECT_EQ(complete({"tolvane", "--json", "commitment", ""}), subcommands["commitment"]);
    EXPECT_EQ(complete({"tolvane", "commitment", "st"}), (Names{"start", "status", "strengthen"}));
    // Past "--" come only texts, never options.
    EXPECT_EQ(complete({"tolvane", "normalize", "--", "--"}), Names{});
    EXPECT_EQ(complete({"tolvane", "resume", "--"}), Names{});
}

// tolvane-filter's options are those its --help lists, which its owner keeps.
TEST(CommandLineDocumentation, FilterOptionsAreInItsManualPageAndCompletion) {
    const auto help = run({"tolvane-filter", "--help"});
    ASSERT_EQ(help.exitCode, 0);
    const Names accepted = optionsIn(help.standardOutput);
    ASSERT_TRUE(accepted.count("--netfilter") && accepted.count("--directory"));
    const auto page = sections(sourceFile("man/tolvane-filter.8"));
    ASSERT_TRUE(page.count("OPTIONS"));
    EXPECT_EQ(optionsIn(page.at("OPTIONS")), accepted);
    EXPECT_EQ(complete({"tolvane-filter", "--"}), accepted);
}

TEST(CommandLineDocumentation, ManualPagesRenderWithoutWarningsAndVersionNamesTheBuild) {
    if (fs::exists("/usr/bin/man")) {
        for (const std::string page : {"man/tolvane.1", "man/tolvane-filter.8"}) {
            const auto shown =
                runProcess({"/usr/bin/man", "-l", std::string(TOLVANE_SOURCE_DIR) + "/" + page}, {},
                           {"MANWIDTH=80", "LC_ALL=C.UTF-8", "MANPAGER=cat", "PAGER=cat"});
            EXPECT_EQ(shown.exitCode, 0) << page;
            EXPECT_EQ(shown.standardError, "") << page;
        }
    }
    const auto version = run({"tolvane", "--version"});
    const std::string commit = sourceCommit;
    EXPECT_EQ(version.standardOutput, std::string("tolvane ") + projectVersion +
                                          (commit.empty() ? "" : " (" + commit + ")") + "\n");
}

}  // namespace
}  // namespace tolvane::cli
