#include "TestSupport.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tolvane::testing {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

SpawnedProcess spawnProcess(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnvironment) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& e : extraEnvironment) putenv(const_cast<char*>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    return {pid, in[1], out[0], err[0]};
}

namespace {

void recordStatus(int status, ProcessResult& result) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

struct ChildProcess::State {
    pid_t pid = -1;
    int input = -1;
    std::mutex mutex;
    std::condition_variable changed;
    std::string output;  // unread standard output
    std::string error;
    std::thread outReader, errReader;
    bool waited = false;
    ProcessResult result;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnvironment)
    : state_(std::make_unique<State>()) {
    const SpawnedProcess child = spawnProcess(argv, extraEnvironment);
    state_->pid = child.pid;
    state_->input = child.input;
    auto reader = [state = state_.get()](int fd, std::string State::*sink) {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            std::scoped_lock lock(state->mutex);
            (state->*sink).append(buffer, static_cast<std::size_t>(n));
            state->changed.notify_all();
        }
        close(fd);
    };
    state_->outReader = std::thread(reader, child.output, &State::output);
    state_->errReader = std::thread(reader, child.error, &State::error);
}

ChildProcess::~ChildProcess() {
    if (!state_->waited) {
        kill(state_->pid, SIGKILL);
        wait();
    }
}

void ChildProcess::write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(state_->input, text.data() + done, text.size() - done);
        if (n <= 0) throw std::runtime_error("write to child failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    if (!state_->changed.wait_for(lock, timeout,
                                  [&] { return state_->output.find('\n') != std::string::npos; })) {
        return {};
    }
    const auto end = state_->output.find('\n');
    std::string line = state_->output.substr(0, end);
    state_->output.erase(0, end + 1);
    return line;
}

bool ChildProcess::waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->error.find(text) != std::string::npos; });
}

ProcessResult ChildProcess::wait() {
    if (state_->waited) return state_->result;
    if (state_->input >= 0) close(state_->input);
    state_->input = -1;
    int status = 0;
    waitpid(state_->pid, &status, 0);
    state_->outReader.join();
    state_->errReader.join();
    state_->waited = true;
    ProcessResult& result = state_->result;
    recordStatus(status, result);
    result.standardOutput = state_->output;
    result.standardError = state_->error;
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& extraEnvironment) {
    ChildProcess child(argv, extraEnvironment);
    child.write(input);
    return child.wait();
}

std::string builtProgram(const std::string& name) {
    return std::string(TOLVANE_BIN_DIR) + "/" + name;
}

}  // namespace tolvane::testing
