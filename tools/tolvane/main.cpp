// tolvane: the command-line tool for people who run the filter. It checks domain names
// against the normaliser and the Public Suffix List, shows and publishes the enforcement
// directive, and runs a commitment from start to end.
#include <exception>
#include <iostream>
#include <system_error>
#include <tolvane/JSON.hpp>
#include <tolvane/JSONCoding.hpp>

#include "Commands.hpp"

namespace {

using namespace tolvane;
using namespace tolvane::cli;

int usageError(const std::string& message, const std::string& hint) {
    std::cerr << "tolvane: " << message << "\n" << hint;
    return exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // --json may also come before the command.
    bool leadingJSON = false;
    while (!arguments.empty() && arguments.front() == "--json") {
        leadingJSON = true;
        arguments.erase(arguments.begin());
    }
    const std::vector<Command> commands = allCommands();
    if (arguments.empty()) return usageError("no command given", overview(commands));
    if (arguments.front() == "--help" || arguments.front() == "-h" || arguments.front() == "help") {
        std::cout << overview(commands);
        return exitSuccess;
    }
    if (arguments.front() == "--version") {
        std::cout << versionText() << "\n";
        return exitSuccess;
    }

    // The longest command name that the arguments begin with: "directive publish".
    const Command* command = nullptr;
    std::size_t words = 0;
    for (const auto& candidate : commands) {
        std::size_t n = 0;
        std::string typed;
        for (; n < arguments.size() && typed.size() < candidate.name.size(); ++n) {
            typed += (n ? " " : "") + arguments[n];
        }
        if (typed == candidate.name && n > words) {
            command = &candidate;
            words = n;
        }
    }
    if (!command) {
        const std::string& first = arguments.front();
        if (first == "directive" || first == "commitment") {
            const bool help =
                arguments.size() > 1 && (arguments[1] == "--help" || arguments[1] == "-h");
            if (help) {
                std::cout << overview(commands, first);
                return exitSuccess;
            }
            return usageError(arguments.size() > 1 ? "unknown subcommand " +
                                                         quotedText(arguments[1]) + " of " + first
                                                   : first + " needs a subcommand",
                              overview(commands, first));
        }
        return usageError("unknown command " + quotedText(first), overview(commands));
    }

    const std::vector<std::string> rest(arguments.begin() + static_cast<std::ptrdiff_t>(words),
                                        arguments.end());
    const std::string prefix = "tolvane " + command->name + ": ";
    bool json = leadingJSON;
    try {
        const Arguments parsed(rest, acceptedOptions(*command), command->takesPositionals);
        if (parsed.flag("help")) {
            std::cout << helpText(*command);
            return exitSuccess;
        }
        json = json || parsed.flag("json");
        return command->run(parsed, Output(json));
    } catch (const UsageError& error) {
        std::cerr << prefix << error.what() << "\n(see: tolvane " << command->name << " --help)\n";
        return exitUsage;
    } catch (const std::exception& error) {
        // Refusals, and anything a library throws for a file or value it cannot use.
        std::cerr << prefix << error.what() << "\n";
        if (json) Output(true).printJSON(coding::OutJson{{"error", error.what()}});
        return exitRefused;
    }
}
