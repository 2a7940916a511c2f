// tolvane-filter: the filter host. It plays the operating system's part for the provider in
// one of two ways:
//  - replay (the default): starts the filter (which reads and then watches the directive
//    directory), feeds it the platform events read from standard input (see
//    FlowProtocol.hpp), writes one verdict line per event to standard output, and logs to
//    standard error. End of input, SIGINT or SIGTERM stop the filter and end the process with
//    status 0, as does a closed standard output; a stop signal takes effect however stalled
//    the output is.
//  - --netfilter: enforces on this network namespace's own traffic through netfilter queues
//    (see NetfilterRuntime.hpp) until SIGINT or SIGTERM.
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
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
#include <tolvane/FlowClassifier.hpp>
#include <tolvane/Version.hpp>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/NetfilterRuntime.hpp>
#include <tolvane/platform/SignalWatch.hpp>
#include <tolvane/platform/SystemExtension.hpp>
#include <vector>

#include "FilterDataProvider.hpp"
#include "FlowProtocol.hpp"

namespace {

using namespace tolvane;

constexpr const char* kUsage =
    R"(usage: tolvane-filter [--directory DIR] [--clock INSTANT] [--show-private]
       tolvane-filter --netfilter [--directory DIR] [--mark-mask MASK] [--queue N] [--show-private]
       tolvane-filter --netfilter --remove-rules [--queue N]
       tolvane-filter --netfilter --install-rules [--directory DIR] [--mark-mask MASK] [--queue N]

Runs the filter. By default it reads platform events from standard input, one JSON object a
line, and writes one JSON verdict a line to standard output. With --netfilter it enforces on
this machine's own traffic (this network namespace's) through netfilter queues; it needs
CAP_NET_ADMIN. Logs go to standard error.

  --directory DIR   the directive directory, made (0700) when missing (default: @DEFAULT@)
  --clock INSTANT   start the filter's clock at INSTANT (seconds since 2001-01-01T00:00:00Z)
                    instead of the wall clock; events with "at" move it (replay only)
  --netfilter       enforce for real; while something is enforced, its rules stay in place
                    after the filter stops, so that new flows are refused until it runs again
  --remove-rules    with --netfilter: remove every rule and chain the filter installs, and exit
  --install-rules   with --netfilter: install the rules the directive on disk calls for, and
                    exit (at boot, before the network: while it enforces something, new flows
                    are refused until the filter runs)
  --mark-mask MASK  the packet and connection mark bits the filter may use: one run of at
                    least 4 bits (default 0x00f80000); other bits are left alone
  --queue N         the netfilter queue for flows; N+1 is the one for DNS answers (default 4170)
  --show-private    show private log arguments (the counters) instead of <private>
  --version         the version (and the commit it was built from)
  --help            this text

End of input (replay), SIGINT or SIGTERM stop the filter; the exit status is then 0.
)";

struct Options {
    std::filesystem::path directory = FileEnforcementDirectiveStore::defaultDirectory();
    std::optional<Instant> clock;
    bool showPrivate = false;
    bool netfilter = false;
    bool removeRules = false;
    bool installRules = false;
    std::uint32_t markMask = netfilter::MarkLayout::defaultMask;
    std::uint16_t queue = netfilter::QueueNumbers{}.flows;
};

// A whole number in decimal or 0x hexadecimal, at most `most`.
std::optional<std::uint64_t> wholeNumber(const std::string& text, std::uint64_t most) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE || value > most) return std::nullopt;
    return value;
}

// The usage text with the default directory this build was made with.
std::string usage() {
    std::string text = kUsage;
    const std::string placeholder = "@DEFAULT@";
    text.replace(text.find(placeholder), placeholder.size(),
                 FileEnforcementDirectiveStore::defaultDirectory().string());
    return text;
}

// Exit status 2 with a message for a bad command line.
[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "tolvane-filter: " << message << "\n" << usage();
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
        if (arg == "--version") {
            std::cout << "tolvane-filter " << projectVersion;
            if (*sourceCommit) std::cout << " (" << sourceCommit << ")";
            std::cout << "\n";
            std::exit(0);
        } else if (arg == "--help" || arg == "-h") {
            std::cout << usage();
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
        } else if (arg == "--netfilter") {
            options.netfilter = true;
        } else if (arg == "--remove-rules") {
            options.removeRules = true;
        } else if (arg == "--install-rules") {
            options.installRules = true;
        } else if (arg == "--mark-mask") {
            const std::string text = value();
            const auto mask = wholeNumber(text, UINT32_MAX);
            if (!mask || !netfilter::MarkLayout::make(static_cast<std::uint32_t>(*mask))) {
                usageError("--mark-mask needs one run of at least 4 bits, like 0x00f80000, not \"" +
                           text + "\"");
            }
            options.markMask = static_cast<std::uint32_t>(*mask);
        } else if (arg == "--queue") {
            const std::string text = value();
            const auto number = wholeNumber(text, UINT16_MAX - 1);
            if (!number) usageError("--queue needs a number from 0 to 65534, not \"" + text + "\"");
            options.queue = static_cast<std::uint16_t>(*number);
        } else {
            usageError("unknown argument \"" + arg + "\"");
        }
    }
    if (options.removeRules && !options.netfilter) usageError("--remove-rules needs --netfilter");
    if (options.installRules && !options.netfilter) usageError("--install-rules needs --netfilter");
    if (options.installRules && options.removeRules) {
        usageError("--install-rules and --remove-rules exclude each other");
    }
    if (options.netfilter && options.clock) usageError("--clock is for replay, not --netfilter");
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

netfilter::NetfilterRules netfilterRules(const Options& options) {
    return netfilter::NetfilterRules(
        *netfilter::MarkLayout::make(options.markMask),
        {options.queue, static_cast<std::uint16_t>(options.queue + 1)});
}

int removeNetfilterRules(const Options& options) {
    try {
        netfilterRules(options).remove();
    } catch (const netfilter::NetfilterError& error) {
        std::cerr << "tolvane-filter: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

// The rules the directive on disk calls for, with nobody deciding yet: while it enforces
// something, undecided flows are refused and DNS still flows. A directive that cannot be
// read counts as enforcing: closed is the safe side until the filter has looked at it.
int installNetfilterRules(const Options& options) {
    const platform::Logger log(std::string(FilterDataProvider::bundleIdentifier), "netfilter");
    bool enforcing = true;
    try {
        const auto directive = FileEnforcementDirectiveStore(options.directory).load();
        enforcing = FlowClassifier(directive, {FilterDataProvider::associationLifetime, 1, 1},
                                   FilterDataProvider::wallClock())
                        .isEnforcing();
    } catch (const std::exception& error) {
        log.error("the directive cannot be read, so the rules enforce: %{public}s",
                  platform::Public(std::string(error.what())));
    }
    try {
        const auto rules = netfilterRules(options);
        if (enforcing) {
            rules.install(netfilter::RuleMode::enforcing);
            log.notice("netfilter rules: enforcing");
        } else {
            log.notice("nothing is enforced: no rules installed");
        }
    } catch (const netfilter::NetfilterError& error) {
        std::cerr << "tolvane-filter: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

// Enforces for real until SIGINT or SIGTERM; 1 when the filter cannot start or a queue fails.
int runNetfilter(const Options& options) {
    const platform::Logger log(std::string(FilterDataProvider::bundleIdentifier), "netfilter");
    FilterDataProvider::Options providerOptions;
    providerOptions.directiveDirectory = options.directory;
    auto provider = std::make_shared<FilterDataProvider>(std::move(providerOptions));
    // The provider outlives the runtime, so the hooks may hold it plainly.
    netfilter::ProviderHooks hooks{
        [p = provider.get()] { return p->isEnforcing(); },
        [p = provider.get()] { return p->enforcedGeneration(); },
        [p = provider.get()](std::string_view name, const platform::EndpointHost& address) {
            p->recordResolution(name, address);
        },
        [p = provider.get()](const platform::FilterSocketFlow& flow) {
            return p->shouldCutLiveFlow(flow);
        },
    };
    netfilter::NetfilterRuntime::Options runtimeOptions;
    // Under systemd: the watchdog hears from the packet thread itself, twice per period.
    std::uint64_t watchdogMicroseconds = 0;
    if (sd_watchdog_enabled(0, &watchdogMicroseconds) > 0 && watchdogMicroseconds > 0) {
        runtimeOptions.heartbeat = [period = std::chrono::microseconds(watchdogMicroseconds / 2),
                                    last = std::chrono::steady_clock::time_point()]() mutable {
            const auto now = std::chrono::steady_clock::now();
            if (now - last < period) return;
            last = now;
            sd_notify(0, "WATCHDOG=1");
        };
    }
    runtimeOptions.layout = *netfilter::MarkLayout::make(options.markMask);
    runtimeOptions.queues = {options.queue, static_cast<std::uint16_t>(options.queue + 1)};
    // Making the provider and the runtime starts no thread; the watch comes before any does,
    // so that every later thread leaves these signals to it. A stop before run() ends it at once.
    netfilter::NetfilterRuntime runtime(provider, std::move(hooks), runtimeOptions);
    auto signals =
        platform::SignalWatch::make({SIGINT, SIGTERM}, [&runtime](int) { runtime.requestStop(); });
    if (!signals) {
        std::cerr << "tolvane-filter: cannot watch signals: " << std::strerror(errno) << "\n";
        return 1;
    }
    int status = 0;
    try {
        runtime.start();
        sd_notify(0,
                  provider->isEnforcing() ? "READY=1\nSTATUS=enforcing" : "READY=1\nSTATUS=idle");
        runtime.run();
    } catch (const std::exception& error) {
        log.error("netfilter enforcement failed: %{public}s",
                  platform::Public(std::string(error.what())));
        status = 1;
    }
    signals.reset();
    sd_notify(0, "STOPPING=1");
    runtime.stop();
    const auto counters = runtime.counters();
    log.notice(
        "netfilter stopped: %llu packets queued, %llu DNS answers read, %llu flows reported, "
        "%llu cut, %llu refused",
        platform::Public(static_cast<unsigned long long>(counters.packetsQueued)),
        platform::Public(static_cast<unsigned long long>(counters.dnsAnswersRead)),
        platform::Public(static_cast<unsigned long long>(counters.flowsReported)),
        platform::Public(static_cast<unsigned long long>(counters.flowsCut)),
        platform::Public(static_cast<unsigned long long>(counters.flowsRefused)));
    return status;
}

// Makes the directive directory when it is missing and says which one is watched, so that a
// filter never watches nothing in silence. False (reported) when it cannot be a directory.
bool prepareDirectory(const std::filesystem::path& directory) {
    const platform::Logger log(std::string(FilterDataProvider::bundleIdentifier), "enforcement");
    try {
        if (FileEnforcementDirectiveStore::makeDirectory(directory)) {
            log.notice("made the directive directory %{public}s",
                       platform::Public(directory.string()));
        }
    } catch (const std::system_error& error) {
        std::cerr << "tolvane-filter: " << directory.string()
                  << " cannot be the directive directory: " << error.code().message() << "\n";
        return false;
    }
    log.notice("watching the directive directory %{public}s", platform::Public(directory.string()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away shows up as EPIPE, which ends the filter the ordinary way.
    std::signal(SIGPIPE, SIG_IGN);
    // A stop signal that comes before the signal watch exists waits for it, instead of ending
    // the process halfway through its start.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    const Options options = parseOptions(argc, argv);
    if (options.showPrivate) platform::Logger::setShowsPrivateData(true);
    if (options.removeRules) return removeNetfilterRules(options);
    if (options.installRules) return installNetfilterRules(options);
    if (!prepareDirectory(options.directory)) return 1;
    if (options.netfilter) return runNetfilter(options);

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
