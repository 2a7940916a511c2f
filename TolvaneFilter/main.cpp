// tolvane-filter: the filter host. It plays the operating system's part for the provider:
// starts the filter (which reads and then watches the directive directory), feeds it the
// platform events read from standard input (see FlowProtocol.hpp), writes one verdict line
// per event to standard output, and logs to standard error. End of input, SIGINT or SIGTERM
// stop the filter and end the process with status 0, as does a closed standard output; a
// stop signal takes effect however stalled the output is.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <tolvane/platform/SignalWatch.hpp>
#include <tolvane/platform/SystemExtension.hpp>
#include <vector>

#include "FilterDataProvider.hpp"
#include "FlowProtocol.hpp"

namespace {

using namespace tolvane;

constexpr const char* kUsage =
    R"(usage: tolvane-filter [--directory DIR] [--clock INSTANT] [--show-private]

Runs the filter: reads platform events from standard input, one JSON object a line, and
writes one JSON verdict a line to standard output. Logs go to standard error.

  --directory DIR   the directive directory (default: /Library/Application Support/Tolvane)
  --clock INSTANT   start the filter's clock at INSTANT (seconds since 2001-01-01T00:00:00Z)
                    instead of the wall clock; events with "at" move it
  --show-private    show private log arguments (the counters) instead of <private>
  --help            this text

End of input, SIGINT or SIGTERM stop the filter; the exit status is then 0.
)";

struct Options {
    std::filesystem::path directory = FileEnforcementDirectiveStore::defaultDirectory();
    std::optional<Instant> clock;
    bool showPrivate = false;
};

// Exit status 2 with a message for a bad command line.
[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "tolvane-filter: " << message << "\n" << kUsage;
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--directory") {
            options.directory = value();
        } else if (arg == "--clock") {
            const std::string text = value();
            char* end = nullptr;
            errno = 0;
            const double instant = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(instant)) {
                usageError("--clock needs a number of seconds, not \"" + text + "\"");
            }
            options.clock = instant;
        } else if (arg == "--show-private") {
            options.showPrivate = true;
        } else {
            usageError("unknown argument \"" + arg + "\"");
        }
    }
    return options;
}

// Writes to a descriptor that may stall (a reader that stops reading) without ever blocking
// the caller past a wake-up: it waits for room with poll and writes no more than a pipe
// takes at once without blocking.
class Output {
public:
    enum class Status { written, woken, closed };

    Output(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}

    void append(std::string_view text) { pending_.append(text); }
    std::size_t pendingBytes() const { return pending_.size(); }

    // Writes everything appended so far, unless woken first or the reader is gone.
    Status drain() {
        std::size_t done = 0;
        Status status = Status::written;
        while (done < pending_.size()) {
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                status = Status::closed;
                break;
            }
            if (fds[1].revents) {
                status = Status::woken;
                break;
            }
            const std::size_t chunk = std::min<std::size_t>(pending_.size() - done, PIPE_BUF);
            const ssize_t n = write(fd_, pending_.data() + done, chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                status = Status::closed;  // EPIPE among others: nobody reads any more
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        pending_.erase(0, done);
        return status;
    }

private:
    int fd_;
    int wakeFd_;
    std::string pending_;
};

// Reads standard input until its end, until woken, or until nobody reads the verdicts,
// feeding each line to the runtime. Output is written whenever no more input is waiting,
// so a person typing sees each verdict at once and a long trace is written in large blocks.
class EventPump {
public:
    EventPump(platform::SystemExtensionRuntime& runtime, host::HostClock& clock, int wakeFd)
        : feeder_(runtime, clock),
          wakeFd_(wakeFd),
          verdicts_(STDOUT_FILENO, wakeFd),
          reports_(STDERR_FILENO, wakeFd) {}

    void run() {
        std::vector<char> buffer(1 << 16);
        const auto sink = [this](std::string_view line, bool tooLong) { handle(line, tooLong); };
        while (true) {
            // Before waiting for input, and so at most one buffer's worth of verdicts pend.
            if (!drain()) return;
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                lines_.finish(sink);
                drain();
                return;
            }
            lines_.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), sink);
        }
    }

private:
    // False when the pump should stop: woken, or the verdicts' reader is gone.
    bool drain() {
        reports_.drain();  // a closed standard error loses only reports
        switch (verdicts_.drain()) {
            case Output::Status::written:
                return true;
            case Output::Status::woken:
                return false;
            case Output::Status::closed:
                reports_.append("tolvane-filter: standard output is closed\n");
                reports_.drain();
                return false;
        }
        return false;
    }

    void handle(std::string_view line, bool tooLong) {
        ++lineNumber_;
        try {
            if (tooLong) {
                throw host::ProtocolError("longer than " + std::to_string(host::maximumLineBytes) +
                                          " bytes");
            }
            if (auto verdict = feeder_.feed(line)) {
                verdicts_.append(*verdict);
                verdicts_.append("\n");
            }
        } catch (const host::ProtocolError& error) {
            // Whole report lines, each short enough to be written at once.
            std::string report = "tolvane-filter: line " + std::to_string(lineNumber_) + ": ";
            report += std::string_view(error.what()).substr(0, 512);
            report += '\n';
            reports_.append(report);
        }
    }

    host::EventFeeder feeder_;
    int wakeFd_;
    host::LineReader lines_;
    std::uint64_t lineNumber_ = 0;
    Output verdicts_;
    Output reports_;
};

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away shows up as EPIPE, which ends the filter the ordinary way.
    std::signal(SIGPIPE, SIG_IGN);
    const Options options = parseOptions(argc, argv);
    if (options.showPrivate) platform::Logger::setShowsPrivateData(true);

    // Making the provider starts no thread; the filter's threads start with startFilter.
    auto clock = std::make_shared<host::HostClock>(options.clock);
    const std::unique_ptr<platform::SystemExtensionRuntime> runtime =
        platform::startSystemExtensionMode([&] {
            FilterDataProvider::Options providerOptions;
            providerOptions.directiveDirectory = options.directory;
            providerOptions.clock = [clock] { return clock->now(); };
            return std::make_shared<FilterDataProvider>(std::move(providerOptions));
        });

    // Before any thread exists, so that every later thread leaves these signals to the watch.
    std::atomic<int> stopSignal{0};
    auto signals = platform::SignalWatch::make({SIGINT, SIGTERM}, [&](int signal) {
        stopSignal = signal;
        runtime->requestExit(0);
    });
    const int wakeFd = eventfd(0, EFD_CLOEXEC);
    if (!signals || wakeFd < 0) {
        std::cerr << "tolvane-filter: cannot watch signals: " << std::strerror(errno) << "\n";
        return 1;
    }
    if (auto error = runtime->startFilter()) {
        std::cerr << "tolvane-filter: the filter did not start: " << error->description() << "\n";
        return 1;
    }

    // The platform's threads: events are fed from one of ours while the main thread parks.
    std::thread pump([&] {
        EventPump(*runtime, *clock, wakeFd).run();
        runtime->requestExit(0);
    });
    const int status = runtime->parkMainThread();
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd, &one, sizeof one);
    pump.join();

    // A signal that came as the input ended may not have been read by the watch yet: once
    // the watch is gone it is either counted or still pending (the signals stay blocked).
    signals.reset();
    sigset_t pending;
    if (sigpending(&pending) == 0 &&
        (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1)) {
        stopSignal = SIGTERM;
    }
    runtime->stopFilter(stopSignal ? platform::FilterStopReason::userInitiated
                                   : platform::FilterStopReason::none);
    close(wakeFd);
    return status;
}
