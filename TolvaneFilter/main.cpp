// tolvane-filter: the filter host. It plays the operating system's part for the provider:
// starts the filter (which reads and then watches the directive directory), feeds it the
// platform events read from standard input (see FlowProtocol.hpp), writes one verdict line
// per event to standard output, and logs to standard error. End of input, SIGINT or SIGTERM
// stop the filter and end the process with status 0.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <tolvane/platform/SignalWatch.hpp>
#include <tolvane/platform/SystemExtension.hpp>
#include <unordered_map>
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

// Reads standard input line by line until its end or until woken, feeding each event to the
// runtime. Output is flushed whenever no more input is waiting, so a person typing sees each
// verdict at once and a long trace is written in large blocks.
class EventPump {
public:
    EventPump(platform::SystemExtensionRuntime& runtime, host::HostClock& clock, int wakeFd)
        : runtime_(runtime), clock_(clock), wakeFd_(wakeFd) {}

    // Returns true at the end of input, false when woken.
    bool run() {
        std::string pending;
        std::vector<char> buffer(1 << 16);
        while (true) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            std::fflush(stdout);
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return true;
            }
            if (fds[1].revents) return false;
            const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                if (!pending.empty()) handle(pending);
                return true;
            }
            pending.append(buffer.data(), static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                handle(std::string_view(pending).substr(start, end - start));
            }
            pending.erase(0, start);
        }
    }

private:
    void handle(std::string_view line) {
        ++lineNumber_;
        if (host::isSkipped(line)) return;
        try {
            const host::FlowEvent event = host::parseFlowEvent(line);
            if (event.at) clock_.set(*event.at);
            std::string out;
            if (event.kind == host::EventKind::newFlow) {
                auto flow = event.facts.makeFlow(event.flow);
                const platform::NewFlowVerdict verdict = runtime_.handleNewFlow(flow);
                if (verdict.kind() == platform::NewFlowVerdict::Kind::filterData) {
                    heldFlows_[event.flow] = flow;
                } else {
                    heldFlows_.erase(event.flow);
                }
                out = host::formatVerdict(event, verdict);
            } else {
                // The platform may have learnt more about a held flow since it began.
                if (!event.facts.empty()) {
                    if (auto held = heldFlows_.find(event.flow); held != heldFlows_.end()) {
                        event.facts.applyTo(*held->second);
                    }
                }
                std::optional<platform::DataVerdict> verdict;
                switch (event.kind) {
                    case host::EventKind::outboundData:
                        verdict =
                            runtime_.handleOutboundData(event.flow, event.offset, event.length);
                        break;
                    case host::EventKind::inboundData:
                        verdict =
                            runtime_.handleInboundData(event.flow, event.offset, event.length);
                        break;
                    case host::EventKind::outboundComplete:
                        verdict = runtime_.handleOutboundDataComplete(event.flow);
                        break;
                    default:
                        verdict = runtime_.handleInboundDataComplete(event.flow);
                        break;
                }
                if (!verdict) {
                    throw host::ProtocolError("flow " + std::to_string(event.flow) +
                                              " is not held for inspection");
                }
                if (verdict->kind() != platform::DataVerdict::Kind::data)
                    heldFlows_.erase(event.flow);
                out = host::formatVerdict(event, *verdict);
            }
            out += '\n';
            std::fwrite(out.data(), 1, out.size(), stdout);
        } catch (const host::ProtocolError& error) {
            std::fflush(stdout);
            std::cerr << "tolvane-filter: line " << lineNumber_ << ": " << error.what()
                      << std::endl;
        }
    }

    platform::SystemExtensionRuntime& runtime_;
    host::HostClock& clock_;
    int wakeFd_;
    std::uint64_t lineNumber_ = 0;
    // Held flows by identifier, so that later events can add what the platform learnt.
    std::unordered_map<std::uint64_t, std::shared_ptr<platform::FilterFlow>> heldFlows_;
};

}  // namespace

int main(int argc, char** argv) {
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
    std::fflush(stdout);

    runtime->stopFilter(stopSignal ? platform::FilterStopReason::userInitiated
                                   : platform::FilterStopReason::none);
    close(wakeFd);
    return status;
}
