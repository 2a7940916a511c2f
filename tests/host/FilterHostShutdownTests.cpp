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
    // Feeds events until standard input refuses them while `pipe` holds unread bytes: the
    // filter reads no more input only once a write to that pipe blocks. (A pipe can stall a
    // writer before it is full to the byte, so fullness is no test.) False if that never
    // happens by `deadline`.
    bool stallOn(bool output, const std::string& line, Clock::time_point deadline) {
        const int pipe = output ? output_ : unreadError_;
        while (Clock::now() < deadline) {
            if (offer(line)) continue;
            if (queued(pipe) > 0) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
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
    // Everything the filter wrote to standard error; REQUIRES: it has exited (the reader then
    // runs to the end of the pipe, so nothing written last is missed).
    std::string error() {
        if (errorReader_.joinable()) errorReader_.join();
        std::scoped_lock lock(mutex_);
        return error_;
    }

private:
    static int queued(int pipe) {
        int bytes = 0;
        ioctl(pipe, FIONREAD, &bytes);
        return bytes;
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
    ASSERT_TRUE(filter.stallOn(true, kEvent, Clock::now() + 60s));
    filter.signal(SIGTERM);
    ASSERT_EQ(filter.waitForExit(Clock::now() + 10s), 0);
    const std::string error = filter.error();
    EXPECT_NE(error.find("filter stopped, reason 1"), std::string::npos) << error;
}

// Bad lines fill standard error; the stop's own log line then cannot hold the stop up.
TEST(FilterHostShutdown, SIGTERMStopsTheFilterWhileItsErrorOutputIsStalled) {
    testing::TemporaryDirectory directory;
    UnreadFilter filter(directory.path().string(), false);
    ASSERT_TRUE(filter.stallOn(false, "not an event\n", Clock::now() + 60s));
    filter.signal(SIGTERM);
    EXPECT_EQ(filter.waitForExit(Clock::now() + 10s), 0);
}

TEST(FilterHostShutdown, AClosedOutputEndsTheFilterCleanly) {
    testing::TemporaryDirectory directory;
    UnreadFilter filter(directory.path().string());
    filter.closeOutput();
    ASSERT_TRUE(filter.offer(kEvent));  // standard input stays open: only the output ends it
    ASSERT_EQ(filter.waitForExit(Clock::now() + 10s), 0);
    const std::string error = filter.error();
    EXPECT_NE(error.find("standard output is closed"), std::string::npos) << error;
    EXPECT_NE(error.find("filter stopped, reason 0"), std::string::npos) << error;
}

}  // namespace
}  // namespace tolvane
