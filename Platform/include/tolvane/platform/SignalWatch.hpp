// SignalWatch.hpp: turns process signals (SIGINT, SIGTERM, ...) into calls of an ordinary
// function on a thread of its own, so a program can stop cleanly without doing work in a
// signal handler.
//
//   auto signals = SignalWatch::make({SIGINT, SIGTERM}, [&](int) { runtime->requestExit(0); });
//
// make() blocks the signals in the calling thread, and threads started afterwards inherit
// that; so make it first thing in main, before any other thread exists, or a signal may be
// delivered to a thread that has not blocked it (and end the process in the default way).
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

namespace tolvane::platform {

class SignalWatch {
public:
    using Handler = std::function<void(int signalNumber)>;

    // nullptr (with errno set) if the signals cannot be watched.
    static std::unique_ptr<SignalWatch> make(std::initializer_list<int> signals, Handler handler);

    // Stops and joins the watching thread. The signals stay blocked: one arriving later
    // stays pending instead of killing the process halfway through its shutdown.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    struct State;
    explicit SignalWatch(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tolvane::platform
