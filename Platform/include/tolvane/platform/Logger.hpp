// Logger.hpp: unified logging with a subsystem, a category, two levels, and per-argument
// privacy. Format strings are printf-style literals, checked at compile time against their
// arguments; every argument is wrapped in Public(...) or Private(...).
//
//   Logger log("com.tolvane.filter", "enforcement");
//   log.notice("adopted directive %s", Private(counters));      default level
//   log.error("enforcement degraded: %{public}s", Public(reason));
//   log.notice("filter stopped, reason %ld %s", Public(code), Private(counters));
//
// Standard error then shows one line per message:
//
//   2025-01-01T12:00:00.123456Z default [com.tolvane.filter:enforcement] adopted directive <private>
//   2025-01-01T12:00:00.123456Z error [com.tolvane.filter:enforcement] enforcement degraded: failedOpen
//
// When standard error is a stream to the journal (a systemd service's), each line starts with
// its priority, "<3>" for error and "<5>" for default, which the journal takes as the level.
// Private arguments print as "<private>" unless the process shows private data: the
// environment variable TOLVANE_LOG_PRIVATE=1 (read once), or Logger::setShowsPrivateData.
// Conversions: %s (text), %d %i %u %x %X %o %c (integers), %f %F %e %E %g %G (floating), with
// the usual flags, width, precision and length modifiers, an optional {public} or {private}
// after the '%' (which must agree with the argument's wrapper), and %%. Line breaks inside a
// message are written as \n so that one message is always one line.
// A line waits at most a second for room on a standard error nobody reads, and is dropped
// after that: logging never holds the program up for long, a stop included.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tolvane::platform {

enum class LogLevel { defaultLevel, error };
std::string_view rawValue(LogLevel level);  // "default", "error"
std::ostream& operator<<(std::ostream& os, LogLevel level);

// Argument wrappers. They refer to the value, so use them only inside the logging call.
template <class T>
class Public {
public:
    explicit Public(const T& value) : value_(value) {}
    const T& value() const { return value_; }

private:
    const T& value_;
};
template <class T>
class Private {
public:
    explicit Private(const T& value) : value_(value) {}
    const T& value() const { return value_; }

private:
    const T& value_;
};

// One message as written.
struct LogRecord {
    std::chrono::system_clock::time_point time;
    LogLevel level = LogLevel::defaultLevel;
    std::string subsystem;
    std::string category;
    std::string message;  // privacy already applied

    // The line as standard error shows it, without the final line break.
    std::string line() const;
};

namespace detail {

enum class LogArgumentKind { text, integer, floating };

template <class T>
constexpr LogArgumentKind logArgumentKind() {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return LogArgumentKind::text;
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return LogArgumentKind::integer;
    } else {
        static_assert(std::is_floating_point_v<T>, "log arguments are text, integers or floating");
        return LogArgumentKind::floating;
    }
}

template <class A>
struct LogArgumentTraits {
    static_assert(sizeof(A) == 0, "wrap every log argument in Public(...) or Private(...)");
};
template <class T>
struct LogArgumentTraits<Public<T>> {
    static constexpr bool isPrivate = false;
    static constexpr LogArgumentKind kind = logArgumentKind<T>();
};
template <class T>
struct LogArgumentTraits<Private<T>> {
    static constexpr bool isPrivate = true;
    static constexpr LogArgumentKind kind = logArgumentKind<T>();
};

// One conversion of a format string.
struct LogPlaceholder {
    std::size_t begin = 0;      // at '%'
    std::size_t end = 0;        // one past the conversion character
    std::size_t specBegin = 0;  // flags, width and precision: [specBegin, specEnd)
    std::size_t specEnd = 0;
    char conversion = 0;
    int annotation = 0;  // 0 none, 1 {public}, 2 {private}
};

// Finds the next conversion at or after `pos` ("%%" is skipped as text). False at the end;
// sets `malformed` for an incomplete or unknown conversion.
constexpr bool nextLogPlaceholder(std::string_view format, std::size_t& pos, LogPlaceholder& out,
                                  bool& malformed) {
    constexpr std::string_view flags = "-+ #0", lengths = "hlqLjzt", conversions = "sdiuxXocfFeEgG";
    malformed = false;
    auto digits = [&] {
        while (pos < format.size() && format[pos] >= '0' && format[pos] <= '9') ++pos;
    };
    while (pos < format.size()) {
        if (format[pos] != '%') {
            ++pos;
            continue;
        }
        if (pos + 1 < format.size() && format[pos + 1] == '%') {
            pos += 2;
            continue;
        }
        out = LogPlaceholder{};
        out.begin = pos++;
        if (pos < format.size() && format[pos] == '{') {
            std::size_t close = format.find('}', pos);
            std::string_view name =
                close == std::string_view::npos ? "" : format.substr(pos + 1, close - pos - 1);
            if (name == "public") {
                out.annotation = 1;
            } else if (name == "private") {
                out.annotation = 2;
            } else {
                malformed = true;
                return false;
            }
            pos = close + 1;
        }
        out.specBegin = pos;
        while (pos < format.size() && flags.find(format[pos]) != std::string_view::npos) ++pos;
        digits();
        if (pos < format.size() && format[pos] == '.') {
            ++pos;
            digits();
        }
        out.specEnd = pos;
        while (pos < format.size() && lengths.find(format[pos]) != std::string_view::npos) ++pos;
        if (pos >= format.size() || conversions.find(format[pos]) == std::string_view::npos) {
            malformed = true;
            return false;
        }
        out.conversion = format[pos++];
        out.end = pos;
        return true;
    }
    return false;
}

constexpr bool logConversionAccepts(char conversion, LogArgumentKind kind) {
    switch (kind) {
        case LogArgumentKind::text:
            return conversion == 's';
        case LogArgumentKind::integer:
            return std::string_view("diuxXoc").find(conversion) != std::string_view::npos;
        case LogArgumentKind::floating:
            return std::string_view("fFeEgG").find(conversion) != std::string_view::npos;
    }
    return false;
}

// Reached only during constant evaluation of a bad format, where it stops compilation.
inline void logFormatDoesNotMatchItsArguments() {}

// A format string checked against the argument wrappers it is used with.
template <class... Args>
class LogFormat {
public:
    template <class S>
    requires std::convertible_to<const S&, std::string_view>
    consteval LogFormat(const S& text) : text_(text) {
        constexpr LogArgumentKind kinds[] = {LogArgumentTraits<Args>::kind...,
                                             LogArgumentKind::text};
        constexpr bool privacies[] = {LogArgumentTraits<Args>::isPrivate..., false};
        std::size_t pos = 0, count = 0;
        LogPlaceholder placeholder;
        bool malformed = false;
        while (nextLogPlaceholder(text_, pos, placeholder, malformed)) {
            if (count >= sizeof...(Args)) logFormatDoesNotMatchItsArguments();
            if (!logConversionAccepts(placeholder.conversion, kinds[count])) {
                logFormatDoesNotMatchItsArguments();
            }
            if ((placeholder.annotation == 1 && privacies[count]) ||
                (placeholder.annotation == 2 && !privacies[count])) {
                logFormatDoesNotMatchItsArguments();
            }
            ++count;
        }
        if (malformed || count != sizeof...(Args)) logFormatDoesNotMatchItsArguments();
    }
    std::string_view text() const { return text_; }

private:
    std::string_view text_;
};

// An argument reduced to what formatting needs.
struct LogArgument {
    LogArgumentKind kind = LogArgumentKind::text;
    bool isPrivate = false;
    std::string_view text;
    long long integer = 0;
    unsigned long long unsignedInteger = 0;
    bool isUnsigned = false;
    double floating = 0;
};

template <class T>
LogArgument makeLogArgument(const T& value, bool isPrivate) {
    LogArgument argument;
    argument.isPrivate = isPrivate;
    argument.kind = logArgumentKind<T>();
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        argument.text = std::string_view(value);
    } else if constexpr (std::is_enum_v<T>) {
        argument.integer = static_cast<long long>(value);
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
        argument.unsignedInteger = value;
        argument.isUnsigned = true;
    } else if constexpr (std::is_integral_v<T>) {
        argument.integer = value;
    } else {
        argument.floating = static_cast<double>(value);
    }
    return argument;
}
template <class T>
LogArgument toLogArgument(const Public<T>& a) {
    return makeLogArgument(a.value(), false);
}
template <class T>
LogArgument toLogArgument(const Private<T>& a) {
    return makeLogArgument(a.value(), true);
}

// Applies `format` to `arguments`, writing "<private>" for private ones unless `showPrivate`.
std::string formatLogMessage(std::string_view format, std::initializer_list<LogArgument> arguments,
                             bool showPrivate);

}  // namespace detail

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    // The default level.
    template <class... Args>
    void notice(detail::LogFormat<std::type_identity_t<Args>...> format,
                const Args&... args) const {
        emit(LogLevel::defaultLevel, format.text(), {detail::toLogArgument(args)...});
    }
    template <class... Args>
    void error(detail::LogFormat<std::type_identity_t<Args>...> format, const Args&... args) const {
        emit(LogLevel::error, format.text(), {detail::toLogArgument(args)...});
    }

    // Whether private arguments are shown. `std::nullopt` returns to the environment's say.
    static void setShowsPrivateData(std::optional<bool> shows);
    static bool showsPrivateData();

    // Where messages go instead of standard error; nullptr for standard error again. The
    // sink is called with one lock held, so calls never overlap and arrive in order; it
    // must not log. Returns the sink it replaces.
    using Sink = std::function<void(const LogRecord&)>;
    static Sink setSink(Sink sink);

private:
    void emit(LogLevel level, std::string_view format,
              std::initializer_list<detail::LogArgument> arguments) const;
    std::string subsystem_;
    std::string category_;
};

}  // namespace tolvane::platform
