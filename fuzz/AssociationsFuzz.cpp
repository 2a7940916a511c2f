// AssociationsFuzz: the fuzz input is a run of operations on the name-address table (record a
// name on an address at an instant, look up or tally an address's names, sweep, copy, empty)
// under small limits, each applied to the plain rendering of the rules as well; after every
// step both must hold the same addresses and give every address the same names.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <tolvane/NameAddressAssociations.hpp>
#include <vector>

#include "../tests/support/ReferenceAssociations.hpp"

namespace {

using tolvane::FlowAddress;
using tolvane::NameAddressAssociations;
using tolvane::testing::ReferenceAssociations;

void require(bool condition) {
    if (!condition) std::abort();
}

// Names and addresses that collide in interesting ways: case, composition, a zone, and
// text from the input itself.
const char* const kNames[] = {
    "a.example",
    "A.EXAMPLE",
    "b.example",
    "c.example",
    "\xC3\x84.example" /* Ä */,
    "\xC3\xA4.example" /* ä */,
    "a\xCC\x88.example" /* a and a combining diaeresis */,
    "caf\xC3\xA9",
    "CAFE\xCC\x81",
    "",
    "x",
};
const char* const kAddresses[] = {
    "192.0.2.1",   "192.0.2.2",    "2001:DB8::1",  "2001:db8::1%eth0",
    "caf\xC3\xA9", "cafe\xCC\x81", "198.51.100.7", "",
};

std::string pick(FuzzedDataProvider& input, const char* const* pool, std::size_t size) {
    if (input.ConsumeBool()) return pool[input.ConsumeIntegralInRange<std::size_t>(0, size - 1)];
    return input.ConsumeRandomLengthString(12);
}

// Accepts a name by its content and the version asked under, so answers stay fixed per
// version as the tally requires.
bool accepts(std::string_view name, std::uint64_t version) {
    return (std::hash<std::string_view>{}(name) + version) % 2 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const double lifetimes[] = {0, 1, 5, 40, 1e6};
    const NameAddressAssociations::Limits limits(lifetimes[input.ConsumeIntegralInRange<int>(0, 4)],
                                                 input.ConsumeIntegralInRange(0, 6),
                                                 input.ConsumeIntegralInRange(0, 4));
    NameAddressAssociations table(limits);
    ReferenceAssociations reference(limits);
    std::vector<std::string> addresses;  // literals seen so far, compared after every step

    double now = 0;
    // Distinct instants keep eviction free of ties, whose order is unspecified.
    double unique = 0;
    for (int step = 0; step < 256 && input.remaining_bytes() > 0; ++step) {
        unique += 1e-6;
        now += input.ConsumeIntegralInRange(-6, 6);
        const double at = now + unique;
        switch (input.ConsumeIntegralInRange(0, 9)) {
            case 0:
                table.evictExpired(at);
                reference.evictExpired(at);
                break;
            case 1:
                table = NameAddressAssociations(table);  // a copy must carry its indexes over
                break;
            case 2:
                if (input.ConsumeIntegralInRange(0, 7) == 0) {
                    table.removeAll();
                    reference = ReferenceAssociations(limits);
                }
                break;
            case 3: {
                const FlowAddress address(pick(input, kAddresses, std::size(kAddresses)));
                const double asked = at + input.ConsumeIntegralInRange(-10, 10);
                const std::uint64_t version = input.ConsumeIntegralInRange(0, 3);
                const auto tally =
                    table.tallyLiveNames(address, asked, version,
                                         [&](std::string_view n) { return accepts(n, version); });
                const auto live = reference.names(std::string(address.literal()), asked);
                std::size_t accepted = 0;
                for (const auto& name : live) accepted += accepts(name, version) ? 1 : 0;
                require(tally.live == live.size() && tally.accepted == accepted);
                break;
            }
            default: {
                const std::string name = pick(input, kNames, std::size(kNames));
                const FlowAddress address(pick(input, kAddresses, std::size(kAddresses)));
                table.record(name, address, at);
                reference.record(name, std::string(address.literal()), at);
                if (addresses.size() < 24) addresses.emplace_back(address.literal());
                break;
            }
        }
        require(table.addressCount() == reference.addressCount());
        const double asked = at + input.ConsumeIntegralInRange(-10, 10);
        for (const auto& literal : addresses) {
            require(table.names(FlowAddress(literal), asked) == reference.names(literal, asked));
        }
    }
    return 0;
}
