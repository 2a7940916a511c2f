// DNSAnswer.hpp: the name a DNS response answers and the addresses it gives for it, as the
// filter remembers them for flows that carry no name of their own.
//
//   response                                              DNSAnswer
//   ----------------------------------------------------  -----------------------------------
//   www.example.com? CNAME edge.cdn.test,                  name "www.example.com",
//     edge.cdn.test A 192.0.2.1 (ttl 60), A 192.0.2.2      192.0.2.1/60, 192.0.2.2/60
//   a.test? A 192.0.2.9 for b.test (unrelated owner)       name "a.test", no addresses
//   cut short, pointer loop, TC set, not a response        nothing (the reader answers false)
//
// Allocation-free: the name is decoded into a fixed 255-byte buffer and the addresses into a
// fixed array inside the result, which the caller owns and may reuse from one response to the
// next. Nothing in the result points into the message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tolvane::wire {

struct DNSAddress {
    std::array<std::uint8_t, 16> bytes{};  // the first `length` bytes, network order
    std::uint8_t length = 0;               // 4 (A) or 16 (AAAA)
    std::uint32_t ttl = 0;                 // seconds; values with the top bit set read as 0

    std::span<const std::uint8_t> octets() const { return {bytes.data(), length}; }
};

class DNSAnswer {
public:
    // More than a 512-byte response can carry; larger (EDNS) answers keep their first ones.
    static constexpr std::size_t addressCapacity = 48;
    // A CNAME chain longer than this stops being followed; resolvers give up sooner.
    static constexpr std::size_t maximumChainLength = 16;

    // The question's name as the response spells it, without the root's trailing dot
    // ("" for the root itself). Letter case is kept; the caller lower-cases.
    std::string_view questionName() const {
        return {name_.data(), static_cast<std::size_t>(nameLength_)};
    }
    // Every A and AAAA record whose owner is the question's name or a name the answer's CNAME
    // chain reaches from it, in message order.
    std::span<const DNSAddress> addresses() const { return {addresses_.data(), addressCount_}; }
    // Some addresses did not fit in addressCapacity.
    bool droppedAddresses() const { return droppedAddresses_; }

private:
    friend bool readDNSAnswer(std::span<const std::uint8_t>, DNSAnswer&);
    std::array<char, 255> name_{};
    std::uint16_t nameLength_ = 0;
    std::size_t addressCount_ = 0;
    bool droppedAddresses_ = false;
    std::array<DNSAddress, addressCapacity> addresses_{};
};

// A response as one UDP datagram's payload. True and `answer` filled when it is a standard
// query's response (QR set, opcode 0, one question, TC clear) whose header, question and
// answer section are well-formed; false otherwise, with `answer` unspecified. A truncated (TC)
// response yields nothing: the resolver asks again over TCP and that answer is complete.
// A question name with a label holding '.' or a zero byte is malformed here: its dotted form
// would name another name. Only the first 64 A, AAAA and CNAME records are followed. The authority and additional sections are not looked at.
bool readDNSAnswer(std::span<const std::uint8_t> message, DNSAnswer& answer);

// The same for a response read from a TCP stream: `stream` starts with the two-byte length
// prefix. False until the whole message is there; bytes after it are not looked at.
bool readDNSAnswerOverTCP(std::span<const std::uint8_t> stream, DNSAnswer& answer);

}  // namespace tolvane::wire
