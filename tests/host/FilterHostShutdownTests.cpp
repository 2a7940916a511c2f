// tolvane-filter stopping whatever its output does: stalled by a reader that stops reading,
// or closed by one that went away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

#include "TestSupport.hpp"

namespace tolvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The filter with its standard output on a pipe the test holds and never reads, standard
// input written without blocking, and standard error collected (or, with `readError` false,
// left unread too).
class UnreadFilter {
public:
    explicit UnreadFilter(const std::string& directory, bool readError = true) {
        const auto child = testing::spawnProcess(
            {testing::builtProgram("tolvane-filter"), "--directory", directory, "--clock", "1000"});
        fcntl(child.output, F_SETPIPE_SZ, 4096);  // fills after a few dozen verdicts
        fcntl(child.error, F_SETPIPE_SZ, 4096);
        pid_ = child.pid;
        input_ = child.input;
        output_ = child.output;
        fcntl(input_, F_SETFL, O_NONBLOCK);
        if (!readError) {
            unreadError_ = child.error;
            return;
        }
        errorReader_ = std::thread([this, fd = child.error] {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
                std::scoped_lock lock(mutex_);
                error_.append(buffer, static_cast<std::size_t>(n));
            }
            close(fd);
        });
    }
    ~UnreadFilter() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        closeOutput();
        if (input_ >= 0) close(input_);
        if (unreadError_ >= 0) close(unreadError_);
        if (errorReader_.joinable()) errorReader_.join();
    }

    void closeOutput() {
        if (output_ >= 0) close(output_);
        output_ = -1;
    }
    // Writes what standard input takes now; false when it takes nothing.
    bool offer(const std::string& text) { return write(input_, text.data(), text.size()) > 0; }
    // Whether the output (or the unread standard error) is full: nothing more goes in.
    bool outputIsFull() const { return isFull(output_); }
    bool errorIsFull() const { return isFull(unreadError_); }
    void signal(int number) const { kill(pid_, number); }
    // The exit status, or nullopt when the filter has not ended by `deadline` (or was killed
    // by a signal: then -signal).
    std::optional<int> waitForExit(Clock::time_point deadline) {
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            if (Clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
    }
    std::string error() {
        std::scoped_lock lock(mutex_);
        return error_;
    }

private:
    static bool isFull(int pipe) {
        int queued = 0;
        ioctl(pipe, FIONREAD, &queued);
        return queued >= fcntl(pipe, F_GETPIPE_SZ);
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int unreadError_ = -1;
    std::thread errorReader_;
    std::mutex mutex_;
    std::string error_;
};

const std::string kEvent = R"({"event":"newFlow","flow":1,"remoteHostname":"example.org"})"
                           "\n";

TEST(FilterHostShutdown, SIGTERMStopsTheFilterWhileItsOutputIsStalled) {
    testing::TemporaryDirectory directory;
    UnreadFilter filter(directory.path().string());
    const auto stallBy = Clock::now() + 30s;
    while (!filter.outputIsFull() && Clock::now() < stallBy) {
        if (!filter.offer(kEvent)) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(filter.outputIsFull());
    filter.signal(SIGTERM);
    EXPECT_EQ(filter.waitForExit(Clock::now() + 10s), 0) << filter.error();
    EXPECT_NE(filter.error().find("filter stopped, reason 1"), std::string::npos) << filter.error();
}

// Bad lines fill standard error; the stop's own log line then cannot hold the stop up.
TEST(FilterHostShutdown, SIGTERMStopsTheFilterWhileItsErrorOutputIsStalled) {
    testing::TemporaryDirectory directory;
    UnreadFilter filter(directory.path().string(), false);
    const auto stallBy = Clock::now() + 30s;
    while (!filter.errorIsFull() && Clock::now() < stallBy) {
        if (!filter.offer("not an event\n")) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(filter.errorIsFull());
    filter.signal(SIGTERM);
    EXPECT_EQ(filter.waitForExit(Clock::now() + 10s), 0);
}

TEST(FilterHostShutdown, AClosedOutputEndsTheFilterCleanly) {
    testing::TemporaryDirectory directory;
    UnreadFilter filter(directory.path().string());
    filter.closeOutput();
    ASSERT_TRUE(filter.offer(kEvent));  // standard input stays open: only the output ends it
    EXPECT_EQ(filter.waitForExit(Clock::now() + 10s), 0) << filter.error();
    const std::string error = filter.error();
    EXPECT_NE(error.find("standard output is closed"), std::string::npos) << error;
    EXPECT_NE(error.find("filter stopped, reason 0"), std::string::npos) << error;
}

}  // namespace
}  // namespace tolvane
