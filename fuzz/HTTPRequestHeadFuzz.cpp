// HTTPRequestHeadFuzz: the input is a flow's first bytes. A host it reads is a view inside
// the input and a host name or IPv6 literal; and an answer other than needsMoreBytes does not
// change when more bytes follow, since the reader must have decided on what it had.
#include <cstdint>
#include <cstdlib>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

namespace {

using namespace tolvane::wire;

void require(bool condition) {
    if (!condition) std::abort();
}

bool same(const HTTPRequestHead& a, const HTTPRequestHead& b) {
    return a.status == b.status && a.host == b.host && a.port == b.port &&
           a.hostIsIPv6Literal == b.hostIsIPv6Literal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> flow(data, size);
    const auto head = readHTTPRequestHead(flow);
    if (head.status == HTTPRequestHeadStatus::host) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(head.host.data());
        require(first >= data && first + head.host.size() <= data + size);
        if (head.hostIsIPv6Literal) {
            require(head.host.find(':') != std::string_view::npos);
        } else {
            require(isPlausibleHostName(head.host));
        }
    }
    if (head.status == HTTPRequestHeadStatus::needsMoreBytes) {
        require(size < maximumRequestHeadBytes);
        return 0;
    }
    std::vector<std::uint8_t> longer(data, data + size);
    longer.insert(longer.end(), {'\r', '\n', 'H', 'o', 's', 't', ':', ' ', 'x', '\r', '\n'});
    require(same(readHTTPRequestHead(longer), head));
    return 0;
}
