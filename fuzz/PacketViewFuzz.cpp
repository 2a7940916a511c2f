// PacketViewFuzz: the input is one IP packet. Every view the packet view gives stays inside
// the input, headers agree with their lengths, and the TCP payload goes on to the ClientHello
// and HTTP readers as the flow host would hand it over.
#include <cstdint>
#include <cstdlib>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/PacketView.hpp>
#include <tolvane/wire/TLSClientHello.hpp>

namespace {

using namespace tolvane::wire;

void require(bool condition) {
    if (!condition) std::abort();
}

bool inside(std::span<const std::uint8_t> view, const std::uint8_t* data, std::size_t size) {
    return view.empty() || (view.data() >= data && view.data() + view.size() <= data + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = PacketView::make({data, size});
    if (!packet) return 0;
    const std::size_t addressBytes = packet->ipVersion() == 4 ? 4 : 16;
    require(packet->ipVersion() == 4 || packet->ipVersion() == 6);
    require(packet->sourceAddress().size() == addressBytes &&
            packet->destinationAddress().size() == addressBytes);
    require(inside(packet->sourceAddress(), data, size) &&
            inside(packet->destinationAddress(), data, size) &&
            inside(packet->transport(), data, size));
    require(packet->hasTransportHeader() || (packet->isFragment() && packet->transport().empty()));
    if (const auto tcp = packet->tcp()) {
        require(inside(tcp->payload(), data, size));
        static std::uint8_t scratch[maximumClientHelloBytes];
        readClientHello(tcp->payload(), std::span<std::uint8_t, maximumClientHelloBytes>(scratch));
        readHTTPRequestHead(tcp->payload());
    }
    if (const auto udp = packet->udp()) {
        require(inside(udp->payload(), data, size));
        require(udp->payload().size() + 8 <= packet->transport().size());
    }
    return 0;
}
