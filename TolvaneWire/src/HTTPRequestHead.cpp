// HTTPRequestHead.cpp: walks the request line and header fields once, judging each byte as it
// comes, so that other protocols are turned away after a few bytes.
#include <algorithm>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/TLSClientHello.hpp>

namespace tolvane::wire {
namespace {

using Status = HTTPRequestHeadStatus;

constexpr std::size_t longestMethod = 20;

bool isUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isVisible(char c) {
    return c > 0x20 && c < 0x7f;
}

bool isTokenByte(char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (isUpper(c) || isDigit(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

char lower(char c) {
    return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool isIPv6LiteralByte(char c) {
    return isDigit(c) || (lower(c) >= 'a' && lower(c) <= 'f') || c == ':' || c == '.';
}

// host [":" port] or "[" IPv6 "]" [":" port], into `head`; false when it is no host.
bool readAuthority(std::string_view authority, HTTPRequestHead& head) {
    std::string_view host, rest;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        rest = authority.substr(close + 1);
        if (host.find(':') == std::string_view::npos ||
            !std::all_of(host.begin(), host.end(), isIPv6LiteralByte)) {
            return false;
        }
        head.hostIsIPv6Literal = true;
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
        // A fully qualified name ("example.com.") names the same host.
        if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);
        if (!isPlausibleHostName(host)) return false;
        head.hostIsIPv6Literal = false;
    }
    head.port.reset();
    if (!rest.empty()) {
        if (rest.front() != ':') return false;
        rest.remove_prefix(1);
        if (rest.size() > 5 || !std::all_of(rest.begin(), rest.end(), isDigit)) return false;
        if (!rest.empty()) {
            unsigned value = 0;
            for (const char c : rest) value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 65535) return false;
            head.port = static_cast<std::uint16_t>(value);
        }
    }
    head.host = host;
    return true;
}

// The authority of an absolute-form target ("http://user@host:port/path"), or nothing.
std::optional<std::string_view> absoluteFormAuthority(std::string_view target) {
    std::size_t schemeBytes = 0;
    if (startsWithIgnoringCase(target, "http://")) {
        schemeBytes = 7;
    } else if (startsWithIgnoringCase(target, "https://")) {
        schemeBytes = 8;
    } else {
        return std::nullopt;
    }
    auto authority = target.substr(schemeBytes);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    return authority;
}

std::string_view trimmed(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return value;
}

}  // namespace

HTTPRequestHead readHTTPRequestHead(std::span<const std::uint8_t> flowBytes) {
    const bool capped = flowBytes.size() >= maximumRequestHeadBytes;
    const std::string_view text(reinterpret_cast<const char*>(flowBytes.data()),
                                std::min(flowBytes.size(), maximumRequestHeadBytes));
    const HTTPRequestHead notHTTP{Status::notHTTP, {}, false, std::nullopt};
    const HTTPRequestHead needsMoreBytes{};

    // Request line: method SP target SP "HTTP/1." digit, then CRLF (or a bare LF).
    std::size_t at = 0;
    while (at < text.size() && isUpper(text[at])) ++at;
    if (at > longestMethod) return notHTTP;
    if (at == text.size()) return capped ? notHTTP : needsMoreBytes;
    if (at == 0 || text[at] != ' ') return notHTTP;
    const auto method = text.substr(0, at);
    const auto targetStart = ++at;
    while (at < text.size() && isVisible(text[at])) ++at;
    if (at == text.size()) return capped ? notHTTP : needsMoreBytes;
    if (at == targetStart || text[at] != ' ') return notHTTP;
    const auto target = text.substr(targetStart, at - targetStart);
    ++at;
    constexpr std::string_view version = "HTTP/1.";
    for (std::size_t i = 0; i < version.size() + 1; ++i, ++at) {
        if (at == text.size()) return capped ? notHTTP : needsMoreBytes;
        if (i < version.size() ? text[at] != version[i] : !isDigit(text[at])) return notHTTP;
    }
    if (at < text.size() && text[at] == '\r') ++at;
    if (at == text.size()) return capped ? notHTTP : needsMoreBytes;
    if (text[at++] != '\n') return notHTTP;

    // Header fields, up to the empty line. Only Host matters; the rest must merely be fields.
    std::optional<std::string_view> hostField;
    bool complete = false;
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        if (end == std::string_view::npos) break;
        auto line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            complete = true;
            break;
        }
        const auto colon = line.find(':');
        // No name, a space before the colon, or a folded line: servers refuse these.
        if (colon == 0 || colon == std::string_view::npos ||
            !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                         isTokenByte)) {
            return notHTTP;
        }
        if (!equalsIgnoringCase(line.substr(0, colon), "host")) continue;
        const auto value = trimmed(line.substr(colon + 1));
        if (hostField && !equalsIgnoringCase(*hostField, value)) return notHTTP;
        if (!hostField) hostField = value;
    }
    if (!complete && !capped) return needsMoreBytes;

    HTTPRequestHead head{Status::host, {}, false, std::nullopt};
    std::optional<std::string_view> authority = absoluteFormAuthority(target);
    if (!authority && method == "CONNECT") authority = target;
    if (!authority) authority = hostField;
    if (!authority || !readAuthority(*authority, head)) {
        return {Status::noHost, {}, false, std::nullopt};
    }
    return head;
}

}  // namespace tolvane::wire
