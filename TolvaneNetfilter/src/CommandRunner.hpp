// CommandRunner.hpp: runs a system tool (iptables and its kin) without a shell, with input on
// its standard input, and collects what it printed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane::netfilter {

struct CommandResult {
    int exitCode = -1;  // -1 when the tool did not exit normally
    std::string output;
    std::string error;
};

// Runs argv (argv[0] is looked up in the system's sbin and bin folders) in this thread's
// network namespace. Throws NetfilterError when the tool cannot be started or hangs.
CommandResult runCommand(const std::vector<std::string>& argv, std::string_view input = {});

}  // namespace tolvane::netfilter
