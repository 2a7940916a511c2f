// The DNS answer reader over arbitrary bytes, as a UDP payload and as a TCP stream. Whatever it
// accepts must be self-consistent: a name that fits, addresses of 4 or 16 bytes.
#include <cstdlib>
#include <span>
#include <tolvane/wire/DNSAnswer.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    tolvane::wire::DNSAnswer answer;
    for (const bool overTCP : {false, true}) {
        const bool read = overTCP ? tolvane::wire::readDNSAnswerOverTCP(bytes, answer)
                                  : tolvane::wire::readDNSAnswer(bytes, answer);
        if (!read) continue;
        if (answer.questionName().size() > 253) std::abort();
        if (answer.addresses().size() > tolvane::wire::DNSAnswer::addressCapacity) std::abort();
        for (const auto& address : answer.addresses()) {
            if (address.length != 4 && address.length != 16) std::abort();
            if (address.ttl > 0x7fffffffu) std::abort();
        }
    }
    return 0;
}
