// FlowEvidence.hpp: `FlowAddress`, a flow's remote address literal in one fixed form, and
// `FlowEvidence`, the facts every decision about a flow rests on: the remote host name and
// the remote address, each possibly unknown, and whether the flow's ClientHello offers
// Encrypted Client Hello (its name is then only the visible one).
//
//   FlowAddress(text)   literal
//   ------------------  ---------
//   "FE80::1%en0"       "fe80::1"     (zone cut, lower case)
//   "2001:DB8::A"       "2001:db8::a"
//   "192.0.2.7"         "192.0.2.7"
//   "%lo0", ""          ""            (nothing is rejected)
//
// The name comes from the flow's URL host, else the socket's reported remote host name, else
// a name-typed remote endpoint; the first source present wins, even when it is empty, and an
// empty name is stored as absent. The address comes only from an address-typed endpoint, and
// the Encrypted Client Hello flag only from a socket flow.
//
// Both are values that own their text. A host name (at most 253 bytes) and an address
// literal (at most 45) are kept inside the value, so taking a flow's evidence allocates
// nothing; longer text is kept too, on the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/platform/Flow.hpp>

namespace tolvane {

// Text held inside its owner up to `Capacity` bytes and on the heap beyond, so that the
// evidence of an ordinary flow is made and copied without allocating.
template <std::size_t Capacity>
class InlineText {
public:
    InlineText() = default;
    explicit InlineText(std::string_view text) { assign(text); }
    InlineText(const InlineText& other) : size_(other.size_), spilled_(other.spilled_) {
        copyInline(other);
    }
    InlineText(InlineText&& other) noexcept
        : size_(other.size_), spilled_(std::move(other.spilled_)) {
        copyInline(other);
        other.size_ = 0;
    }
    InlineText& operator=(const InlineText& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    InlineText& operator=(InlineText&& other) noexcept {
        if (this == &other) return *this;
        size_ = other.size_;
        spilled_ = std::move(other.spilled_);
        copyInline(other);
        other.size_ = 0;
        return *this;
    }

    std::string_view view() const {
        return size_ <= Capacity ? std::string_view(inline_, size_) : std::string_view(spilled_);
    }

    void assign(std::string_view text) {
        char* to = overwrite(text.size());
        if (!text.empty()) std::memcpy(to, text.data(), text.size());
    }
    // Room for exactly `size` bytes, to be written by the caller; the old text is gone.
    char* overwrite(std::size_t size) {
        size_ = size;
        if (size <= Capacity) {
            spilled_.clear();
            return inline_;
        }
        spilled_.assign(size, '\0');
        return spilled_.data();
    }

    bool operator==(const InlineText& other) const { return view() == other.view(); }

private:
    void copyInline(const InlineText& other) {
        if (size_ <= Capacity) std::memcpy(inline_, other.inline_, size_);
    }

    std::size_t size_ = 0;
    std::string spilled_;    // the text when longer than Capacity, else empty
    char inline_[Capacity];  // the text when it fits; only the first size_ bytes are set
};

class FlowAddress {
public:
    // The longest address text the platform writes.
    static constexpr std::size_t inlineCapacity = platform::AddressText::capacity;

    // Cuts everything from the first '%' and lower-cases the rest; always succeeds.
    explicit FlowAddress(std::string_view text);
    // The address as the platform prints it, without its zone.
    explicit FlowAddress(const platform::IPv4Address& address);
    explicit FlowAddress(const platform::IPv6Address& address);

    std::string_view literal() const { return literal_.view(); }
    std::string description() const { return std::string(literal()); }

    bool operator==(const FlowAddress&) const = default;

private:
    InlineText<inlineCapacity> literal_;
};

std::ostream& operator<<(std::ostream& os, const FlowAddress& address);

class FlowEvidence {
public:
    // The longest host name a DNS name can be.
    static constexpr std::size_t inlineNameCapacity = 253;

    // A present but empty name is stored as absent; everything else is kept as given.
    FlowEvidence(std::optional<std::string_view> remoteHostname,
                 std::optional<FlowAddress> remoteAddress, bool offersEncryptedClientHello = false);

    // What the platform reports about `flow`; never fails.
    static FlowEvidence fromFlow(const platform::FilterFlow& flow);

    std::optional<std::string_view> remoteHostname() const {
        if (!hasName_) return std::nullopt;
        return name_.view();
    }
    const std::optional<FlowAddress>& remoteAddress() const { return remoteAddress_; }
    // The flow's ClientHello offers Encrypted Client Hello, so its name may be a relay's.
    bool offersEncryptedClientHello() const { return offersEncryptedClientHello_; }

    bool operator==(const FlowEvidence&) const = default;

private:
    bool hasName_ = false;
    bool offersEncryptedClientHello_ = false;
    InlineText<inlineNameCapacity> name_;  // empty when absent
    std::optional<FlowAddress> remoteAddress_;
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::FlowAddress> {
    std::size_t operator()(const tolvane::FlowAddress& address) const noexcept {
        return std::hash<std::string_view>{}(address.literal());
    }
};

template <>
struct std::hash<tolvane::FlowEvidence> {
    std::size_t operator()(const tolvane::FlowEvidence& evidence) const noexcept;
};
