// TestSupport.hpp: helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::testing {

// Heap allocations made by this thread since the program started (operator new is counted).
std::uint64_t allocationCount();

// A fresh directory under the system's temporary directory, removed with its content.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// What a finished child process left behind.
struct ProcessResult {
    int exitCode = -1;      // -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, if any
    std::string standardOutput;
    std::string standardError;
};

// Runs `argv` to completion with `input` on its standard input.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = {},
                         const std::vector<std::string>& extraEnvironment = {});

// The path of a built program (beside the test programs).
std::string builtProgram(const std::string& name);

}  // namespace tolvane::testing
