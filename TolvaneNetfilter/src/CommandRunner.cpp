#include "CommandRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <tolvane/netfilter/NetfilterError.hpp>

namespace tolvane::netfilter {

namespace {

// A fixed search path and locale: the daemon's own environment must not pick the tool or
// translate the messages we pass on.
constexpr const char* searchPath[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
constexpr auto deadline = std::chrono::seconds(30);

std::string locate(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    for (const char* folder : searchPath) {
        std::string candidate = std::string(folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw NetfilterError("cannot find " + name);
}

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int* out() { return &fd_; }

private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read, write;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw NetfilterError("pipe: " + std::string(strerror(errno)));
        *read.out() = fds[0];
        *write.out() = fds[1];
    }
};

// SIGPIPE stays blocked in this thread while we write to a tool that may exit early; a
// SIGPIPE raised here is taken back before the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous_);
    }
    ~SigpipeBlock() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            const timespec zero{};
            sigtimedwait(&pipeOnly, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }

private:
    sigset_t previous_;
    bool wasPending_ = false;
};

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::string_view input) {
    if (argv.empty()) throw NetfilterError("no command");
    const std::string program = locate(argv[0]);
    Pipe in, out, err;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args[0] = const_cast<char*>(program.c_str());
    args.push_back(nullptr);
    char pathVariable[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char localeVariable[] = "LC_ALL=C";
    char* environment[] = {pathVariable, localeVariable, nullptr};

    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw NetfilterError("cannot run " + program + ": " + strerror(spawned));
    in.read.reset();
    out.write.reset();
    err.write.reset();

    CommandResult result;
    {
        SigpipeBlock block;
        if (input.empty()) in.write.reset();
        // Never blocked writing while the tool waits for us to read what it printed.
        if (in.write.get() >= 0) fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
        std::size_t written = 0;
        const auto giveUp = std::chrono::steady_clock::now() + deadline;
        char buffer[4096];
        while (out.read.get() >= 0 || err.read.get() >= 0) {
            pollfd fds[3] = {{in.write.get(), POLLOUT, 0},
                             {out.read.get(), POLLIN, 0},
                             {err.read.get(), POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                giveUp - std::chrono::steady_clock::now());
            const int ready = left.count() > 0 ? poll(fds, 3, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                throw NetfilterError(argv[0] + " did not finish");
            }
            if (fds[0].revents != 0) {
                const ssize_t n =
                    write(in.write.get(), input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                const bool retry = n < 0 && (errno == EINTR || errno == EAGAIN);
                if ((n < 0 && !retry) || written == input.size()) in.write.reset();
            }
            Descriptor* readers[2] = {&out.read, &err.read};
            std::string* sinks[2] = {&result.output, &result.error};
            for (int i = 0; i < 2; ++i) {
                if (fds[i + 1].revents == 0) continue;
                const ssize_t n = read(readers[i]->get(), buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    readers[i]->reset();
                }
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

}  // namespace tolvane::netfilter
