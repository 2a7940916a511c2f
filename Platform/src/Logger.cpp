#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <tolvane/platform/Logger.hpp>
#include <utility>

namespace tolvane::platform {

namespace {

// One lock for every line, so lines from different threads never interleave.
std::mutex& outputMutex() {
    static std::mutex mutex;
    return mutex;
}
Logger::Sink& currentSink() {
    static Logger::Sink sink;
    return sink;
}

// -1: follow the environment; 0 or 1: set by the program.
std::atomic<int> privateDataOverride{-1};

bool environmentShowsPrivateData() {
    static const bool shows = [] {
        const char* value = std::getenv("TOLVANE_LOG_PRIVATE");
        return value && std::string_view(value) == "1";
    }();
    return shows;
}

void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
}

// Writes a line unless the reader has stalled for longer than `patience`: a log line is
// never worth stopping the program for (a stop would otherwise hang on its last line). Waits
// for room with poll and writes no more than a pipe takes at once without blocking.
void writeAll(int fd, std::string_view text) {
    constexpr auto patience = std::chrono::seconds(1);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!text.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd room{fd, POLLOUT, 0};
        const int ready = ::poll(&room, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;  // stalled past patience: the line is dropped
        const ssize_t n = ::write(fd, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;  // nowhere left to report it
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

std::string_view rawValue(LogLevel level) {
    return level == LogLevel::error ? "error" : "default";
}

std::ostream& operator<<(std::ostream& os, LogLevel level) {
    return os << rawValue(level);
}

std::string LogRecord::line() const {
    using namespace std::chrono;
    auto sinceEpoch = time.time_since_epoch();
    auto wholeSeconds = duration_cast<seconds>(sinceEpoch);
    auto micros = duration_cast<microseconds>(sinceEpoch - wholeSeconds).count();
    if (micros < 0) {  // before 1970: borrow a second
        wholeSeconds -= seconds(1);
        micros += 1'000'000;
    }
    std::time_t t = static_cast<std::time_t>(wholeSeconds.count());
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(micros));
    std::string out = stamp;
    out += ' ';
    out += rawValue(level);
    out += " [";
    out += subsystem;
    out += ':';
    out += category;
    out += "] ";
    appendEscaped(out, message);
    return out;
}

namespace detail {

std::string formatLogMessage(std::string_view format, std::initializer_list<LogArgument> arguments,
                             bool showPrivate) {
    std::string out;
    out.reserve(format.size() + 32);
    const LogArgument* argument = arguments.begin();
    std::size_t pos = 0, copied = 0;
    LogPlaceholder placeholder;
    bool malformed = false;
    auto appendText = [&](std::size_t from, std::size_t to) {
        // "%%" stands for '%' in the literal text.
        for (std::size_t i = from; i < to; ++i) {
            out += format[i];
            if (format[i] == '%' && i + 1 < to && format[i + 1] == '%') ++i;
        }
    };
    while (nextLogPlaceholder(format, pos, placeholder, malformed) && argument != arguments.end()) {
        appendText(copied, placeholder.begin);
        copied = placeholder.end;
        const LogArgument& a = *argument++;
        if (a.isPrivate && !showPrivate) {
            out += "<private>";
            continue;
        }
        std::string printfFormat = "%";
        printfFormat +=
            format.substr(placeholder.specBegin, placeholder.specEnd - placeholder.specBegin);
        char buffer[512];
        int length = 0;
        switch (a.kind) {
            case LogArgumentKind::text:
                if (printfFormat.size() == 1) {
                    out += a.text;
                    continue;
                } else {
                    std::string text(a.text);
                    printfFormat += 's';
                    int needed = std::snprintf(nullptr, 0, printfFormat.c_str(), text.c_str());
                    if (needed > 0) {
                        std::string formatted(static_cast<std::size_t>(needed) + 1, '\0');
                        std::snprintf(formatted.data(), formatted.size(), printfFormat.c_str(),
                                      text.c_str());
                        formatted.pop_back();
                        out += formatted;
                    }
                    continue;
                }
            case LogArgumentKind::integer:
                if (placeholder.conversion == 'c') {
                    printfFormat += 'c';
                    length = std::snprintf(
                        buffer, sizeof buffer, printfFormat.c_str(),
                        static_cast<int>(a.isUnsigned ? a.unsignedInteger : a.integer));
                } else {
                    printfFormat += "ll";
                    printfFormat += placeholder.conversion;
                    length = a.isUnsigned ? std::snprintf(buffer, sizeof buffer,
                                                          printfFormat.c_str(), a.unsignedInteger)
                                          : std::snprintf(buffer, sizeof buffer,
                                                          printfFormat.c_str(), a.integer);
                }
                break;
            case LogArgumentKind::floating:
                printfFormat += placeholder.conversion;
                length = std::snprintf(buffer, sizeof buffer, printfFormat.c_str(), a.floating);
                break;
        }
        if (length > 0) out.append(buffer, std::min<std::size_t>(length, sizeof buffer - 1));
    }
    appendText(copied, format.size());
    return out;
}

}  // namespace detail

namespace {
// Whether standard error is a stream to the journal (a systemd service's): the journal then
// reads a "<N>" prefix as the line's priority, so errors show as errors there.
bool standardErrorIsJournal() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        unsigned long long device = 0, inode = 0;
        if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
        struct stat status;
        return ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
               status.st_ino == inode;
    }();
    return journal;
}
}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::setShowsPrivateData(std::optional<bool> shows) {
    privateDataOverride.store(shows ? (*shows ? 1 : 0) : -1);
}

bool Logger::showsPrivateData() {
    int forced = privateDataOverride.load();
    return forced >= 0 ? forced == 1 : environmentShowsPrivateData();
}

Logger::Sink Logger::setSink(Sink sink) {
    std::scoped_lock lock(outputMutex());
    return std::exchange(currentSink(), std::move(sink));
}

void Logger::emit(LogLevel level, std::string_view format,
                  std::initializer_list<detail::LogArgument> arguments) const {
    LogRecord record{std::chrono::system_clock::now(), level, subsystem_, category_,
                     detail::formatLogMessage(format, arguments, showsPrivateData())};
    std::scoped_lock lock(outputMutex());
    if (const Sink& sink = currentSink()) {
        sink(record);
        return;
    }
    std::string line = record.line();
    line += '\n';
    if (standardErrorIsJournal()) line.insert(0, level == LogLevel::error ? "<3>" : "<5>");
    writeAll(STDERR_FILENO, line);
}

}  // namespace tolvane::platform
