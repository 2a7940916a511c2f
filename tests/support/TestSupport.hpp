// TestSupport.hpp: helpers shared by the test programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::testing {

// Heap allocations made by this thread since the program started (operator new is counted).
std::uint64_t allocationCount();
// False in builds whose sanitizer owns operator new (address, thread): the count stays 0.
bool allocationCountingWorks();

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
    int exitCode = -1;  // -1 when it did not exit normally
    int signal = 0;     // the signal that ended it, if any
    std::string standardOutput;
    std::string standardError;
};

// A started child with pipes on its standard streams: the parent's ends, close-on-exec.
struct SpawnedProcess {
    int pid;
    int input, output, error;
};
SpawnedProcess spawnProcess(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnvironment = {});

// Runs `argv` to completion with `input` on its standard input.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = {},
                         const std::vector<std::string>& extraEnvironment = {});

// A running child with pipes on its standard streams, for end-to-end conversations.
// Output is collected on threads of its own; the waits give up after `timeout`.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();  // kills a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& text);
    // The next whole line of standard output, without its line break; empty on timeout.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until standard error holds `text`; false on timeout.
    bool waitForError(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the child to end (closing its input first): the ProcessResult of runProcess,
    // with what is left of standard output.
    ProcessResult wait();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The path of a built program (beside the test programs).
std::string builtProgram(const std::string& name);

}  // namespace tolvane::testing
