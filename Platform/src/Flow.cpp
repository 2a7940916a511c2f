#include <arpa/inet.h>

#include <cstdio>
#include <tolvane/platform/Flow.hpp>

namespace tolvane::platform {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or scalars past
// U+10FFFF.
bool isUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

// The host with its percent escapes decoded, as URL parsers hand it out; nullopt when an
// escape is malformed or the result is not UTF-8 text.
std::optional<std::string> decodedHost(std::string_view host) {
    if (host.find('%') == std::string_view::npos) return std::string(host);
    std::string decoded;
    decoded.reserve(host.size());
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (host[i] != '%') {
            decoded += host[i];
            continue;
        }
        if (host.size() - i < 3) return std::nullopt;
        const int high = hexValue(host[i + 1]), low = hexValue(host[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!isUTF8(decoded)) return std::nullopt;
    return decoded;
}

}  // namespace

std::optional<IPv4Address> IPv4Address::make(std::string_view text) {
    // inet_pton wants a terminated string and accepts exactly dotted decimal (four parts,
    // each 0-255, no leading zeros), which is the one form we print.
    if (text.size() > 15) return std::nullopt;
    char buffer[16] = {};
    text.copy(buffer, text.size());
    IPv4Address address;
    if (inet_pton(AF_INET, buffer, address.bytes.data()) != 1) return std::nullopt;
    return address;
}

void AddressText::decimal(unsigned value) {
    if (value >= 100) put(static_cast<char>('0' + value / 100));
    if (value >= 10) put(static_cast<char>('0' + value / 10 % 10));
    put(static_cast<char>('0' + value % 10));
}

void AddressText::hex(unsigned value) {
    for (int shift = 12; shift >= 0; shift -= 4) {
        if (shift > 0 && (value >> shift) == 0) continue;  // no leading zeros
        put("0123456789abcdef"[(value >> shift) & 0xF]);
    }
}

void AddressText::ipv4(const std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) put('.');
        decimal(bytes[i]);
    }
}

AddressText IPv4Address::text() const {
    AddressText out;
    out.ipv4(bytes.data());
    return out;
}

std::string IPv4Address::description() const {
    return std::string(text().view());
}

std::optional<IPv6Address> IPv6Address::make(std::string_view text) {
    IPv6Address address;
    const std::size_t percent = text.find('%');
    if (percent != std::string_view::npos) {
        address.zone = std::string(text.substr(percent + 1));
        if (address.zone.empty()) return std::nullopt;
        text = text.substr(0, percent);
    }
    // The longest textual form is 45 characters (six groups and a dotted IPv4 tail).
    if (text.size() > 45) return std::nullopt;
    char buffer[46] = {};
    text.copy(buffer, text.size());
    if (inet_pton(AF_INET6, buffer, address.bytes.data()) != 1) return std::nullopt;
    return address;
}

AddressText IPv6Address::textWithoutZone() const {
    AddressText out;
    std::uint16_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
        groups[5] == 0xffff) {
        for (char c : std::string_view("::ffff:")) out.put(c);
        out.ipv4(&bytes[12]);
        return out;
    }
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out.put(':');
            out.put(':');
            i += bestLength - 1;
            continue;
        }
        if (out.size_ > 0 && out.data_[out.size_ - 1] != ':') out.put(':');
        out.hex(groups[i]);
    }
    return out;
}

std::string IPv6Address::description() const {
    std::string text(textWithoutZone().view());
    if (!zone.empty()) text += "%" + zone;
    return text;
}

URL URL::make(std::string text) {
    URL url;
    url.text_ = std::move(text);
    const std::string_view whole = url.text_;

    // A scheme is a letter followed by letters, digits, '+', '-' or '.', then ':'.
    std::size_t colon = whole.find(':');
    if (colon == std::string_view::npos || colon == 0) return url;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = whole[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!(letter || (i > 0 && other))) return url;
    }
    // Only "scheme://authority" forms have a host.
    if (whole.substr(colon + 1, 2) != "//") return url;
    std::string_view authority = whole.substr(colon + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);

    std::string_view host, written;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return url;  // an unclosed bracket has no host
        host = authority.substr(1, close - 1);
        written = authority.substr(0, close + 1);
    } else {
        host = authority.substr(0, authority.find(':'));
        written = host;
    }
    url.host_ = decodedHost(host);
    url.schemeLength_ = colon;
    url.hostOffset_ = static_cast<std::size_t>(written.data() - whole.data());
    url.hostLength_ = written.size();
    return url;
}

URL URL::schemeAndHost() const {
    if (!host_) return URL::make("");
    return URL::make(text_.substr(0, schemeLength_) + "://" +
                     text_.substr(hostOffset_, hostLength_));
}

}  // namespace tolvane::platform
