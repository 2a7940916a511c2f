// The help texts, the overview and --version, all built from the commands' declarations, so
// what --help lists is what the parser accepts.
#include <algorithm>
#include <sstream>
#include <tolvane/Version.hpp>

#include "Commands.hpp"

namespace tolvane::cli {

namespace {

constexpr std::size_t lineWidth = 92;

std::string optionLabel(const OptionSpec& option) {
    return "--" + option.name + (option.valueName.empty() ? "" : " " + option.valueName);
}

// `text` wrapped at spaces to fit after `indent` columns; its own line breaks are kept.
// The first line is not indented (the caller has written the label before it).
std::string wrapped(const std::string& text, std::size_t indent) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    bool firstLine = true;
    while (std::getline(lines, line)) {
        if (!firstLine) out += "\n" + std::string(indent, ' ');
        firstLine = false;
        std::istringstream words(line);
        std::string word;
        std::size_t column = indent;
        bool firstWord = true;
        while (words >> word) {
            if (!firstWord && column + 1 + word.size() > lineWidth) {
                out += "\n" + std::string(indent, ' ');
                column = indent;
            } else if (!firstWord) {
                out += ' ';
                ++column;
            }
            out += word;
            column += word.size();
            firstWord = false;
        }
    }
    return out;
}

}  // namespace

std::vector<Command> allCommands() {
    std::vector<Command> commands;
    for (auto group : {domainCommands(), directiveCommands(), commitmentCommands()}) {
        for (auto& command : group) commands.push_back(std::move(command));
    }
    return commands;
}

std::vector<OptionSpec> acceptedOptions(const Command& command) {
    std::vector<OptionSpec> options = command.options;
    options.push_back({"json", OptionSpec::Kind::flag, "", command.json});
    options.push_back({"help", OptionSpec::Kind::flag, "", "this text"});
    return options;
}

std::string helpText(const Command& command) {
    const std::string usage = "usage: tolvane " + command.name + " ";
    std::string text = usage;
    for (char c : command.synopsis) {
        text += c;
        if (c == '\n') text += std::string(usage.size(), ' ');
    }
    text += "\n\n" + command.description + "\n\n";
    const auto options = acceptedOptions(command);
    std::size_t widest = 0;
    for (const auto& option : options) widest = std::max(widest, optionLabel(option).size());
    const std::size_t column = 2 + widest + 3;
    for (const auto& option : options) {
        std::string label = "  " + optionLabel(option);
        label.resize(column, ' ');
        text += label + wrapped(option.help, column) + "\n";
    }
    if (!command.epilogue.empty()) text += "\n" + command.epilogue + "\n";
    return text;
}

std::string overview(const std::vector<Command>& commands, const std::string& group) {
    std::string text = "usage: tolvane " +
                       (group.empty() ? std::string("COMMAND") : group + " SUBCOMMAND") +
                       " [OPTIONS] [ARGUMENTS]\n";
    if (group.empty()) text += "       tolvane --help | --version\n";
    text += "\n";
    for (const auto& command : commands) {
        if (!group.empty() && command.name.rfind(group + " ", 0) != 0) continue;
        std::string name = command.name;
        name.resize(std::max<std::size_t>(name.size() + 2, 24), ' ');
        text += "  " + name + command.summary + "\n";
    }
    text +=
        "\nEvery command takes --help, and --json for machine-readable output.\n"
        "Exit status: 0 on success, 1 when an input is refused, 2 on a usage error.\n"
        "Instants are seconds since 2001-01-01T00:00:00Z, or UTC text like "
        "2026-12-05T18:00:00Z.\n";
    return text;
}

std::string versionText() {
    std::string text = std::string("tolvane ") + projectVersion;
    if (*sourceCommit != '\0') text += std::string(" (") + sourceCommit + ")";
    return text;
}

}  // namespace tolvane::cli
