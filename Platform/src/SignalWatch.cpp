#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#include <tolvane/platform/SignalWatch.hpp>

namespace tolvane::platform {

struct SignalWatch::State {
    ~State() {
        if (signalFd >= 0) ::close(signalFd);
        if (wakeFd >= 0) ::close(wakeFd);
    }
    int signalFd = -1;
    int wakeFd = -1;
    Handler handler;
    std::thread thread;

    void run() {
        for (;;) {
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            signalfd_siginfo info;
            ssize_t n = ::read(signalFd, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info)) {
                handler(static_cast<int>(info.ssi_signo));
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }
};

std::unique_ptr<SignalWatch> SignalWatch::make(std::initializer_list<int> signals,
                                               Handler handler) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        if (sigaddset(&set, s) != 0) return nullptr;
    }
    if (int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        errno = error;
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->handler = std::move(handler);
    state->signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (state->signalFd < 0) return nullptr;
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) return nullptr;
    state->thread = std::thread([raw = state.get()] { raw->run(); });
    return std::unique_ptr<SignalWatch>(new SignalWatch(std::move(state)));
}

SignalWatch::SignalWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

SignalWatch::~SignalWatch() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(state_->wakeFd, &one, sizeof one);
    if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace tolvane::platform
