#include <algorithm>
#include <tolvane/wire/DNSAnswer.hpp>

#include "BigEndian.hpp"

namespace tolvane::wire {

namespace {
using Bytes = std::span<const std::uint8_t>;

constexpr std::uint16_t typeA = 1, typeCNAME = 5, typeAAAA = 28, classIN = 1;
// Pointers only go backwards (see walkName), which already ends every walk; this keeps a
// hostile message from making one name cost thousands of hops.
constexpr int maximumPointerHops = 32;
// Answer records looked at for the chain; a response needing more is not a real one.
constexpr std::size_t maximumRecords = 64;

using detail::bigEndian16;
using detail::bigEndian32;

// Where whole names were already found well-formed, and their length in wire form: in a
// response most owners are a bare pointer to the question or to a CNAME's target, and this
// spares walking that name again for each of them.
class KnownNames {
public:
    std::size_t lengthAt(std::size_t at) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (starts_[i] == at) return lengths_[i];
        }
        return 0;
    }
    void add(std::size_t at, std::size_t length) {
        if (count_ == starts_.size()) return;
        starts_[count_] = static_cast<std::uint16_t>(at);
        lengths_[count_++] = static_cast<std::uint16_t>(length);
    }

private:
    std::array<std::uint16_t, 8> starts_{}, lengths_{};
    std::size_t count_ = 0;
};

// Walks the name at `start`, calling visit(label) for each label but the root's, and sets
// `next` to the first byte after the name where it is written. False when the name is
// malformed: running off the message, over 255 bytes, an unknown label type, or a pointer
// that does not go strictly before the labels that led to it (which rules out loops).
// With `known`, labels behind a pointer to a known name are not visited, and a name starting
// with a label becomes known.
template <class Visit>
bool walkName(Bytes m, std::size_t start, std::size_t& next, Visit&& visit,
              KnownNames* known = nullptr) {
    std::size_t at = start;
    std::size_t earliest = start;
    std::size_t wireLength = 0;
    bool jumped = false;
    int hops = 0;
    for (;;) {
        if (at >= m.size()) return false;
        const std::uint8_t length = m[at];
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= m.size()) return false;
            const std::size_t target = std::size_t{length & 0x3Fu} << 8 | m[at + 1];
            if (!jumped) next = at + 2;
            jumped = true;
            if (target >= earliest || ++hops > maximumPointerHops) return false;
            if (const std::size_t rest = known ? known->lengthAt(target) : 0; rest > 0) {
                return wireLength + rest <= 255;
            }
            earliest = at = target;
            continue;
        }
        if (length & 0xC0) return false;
        wireLength += length + 1u;
        if (wireLength > 255) return false;
        if (length == 0) {
            if (!jumped) next = at + 1;
            if (known && (m[start] & 0xC0) == 0) known->add(start, wireLength);
            return true;
        }
        if (at + 1 + length > m.size()) return false;
        if (!visit(m.subspan(at + 1, length))) return false;
        at += 1 + length;
    }
}

bool anyLabel(Bytes) {
    return true;
}

// Labels of a name walkName has accepted.
struct LabelCursor {
    Bytes m;
    std::size_t at;

    Bytes next() {
        while ((m[at] & 0xC0) == 0xC0) at = std::size_t{m[at] & 0x3Fu} << 8 | m[at + 1];
        const Bytes label = m.subspan(at + 1, m[at]);
        at += 1 + label.size();
        return label;
    }
};

std::uint8_t lower(std::uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c;
}

// Whether two names walkName has accepted are the same, ignoring ASCII letter case.
bool sameName(Bytes m, std::size_t a, std::size_t b) {
    LabelCursor x{m, a}, y{m, b};
    for (;;) {
        if (x.at == y.at) return true;  // compression shares the rest
        const Bytes la = x.next(), lb = y.next();
        if (la.size() != lb.size()) return false;
        if (la.empty()) return true;
        for (std::size_t i = 0; i < la.size(); ++i) {
            if (lower(la[i]) != lower(lb[i])) return false;
        }
    }
}

struct Record {
    std::uint32_t owner;
    std::uint32_t rdata;
    std::uint32_t ttl;
    std::uint16_t type;
};
}  // namespace

bool readDNSAnswer(Bytes m, DNSAnswer& answer) {
    answer.nameLength_ = 0;
    answer.addressCount_ = 0;
    answer.droppedAddresses_ = false;
    if (m.size() < 12) return false;
    const std::uint16_t flags = bigEndian16(m, 2);
    const bool isResponse = flags & 0x8000, isTruncated = flags & 0x0200;
    const unsigned opcode = (flags >> 11) & 0xF;
    if (!isResponse || opcode != 0 || isTruncated || bigEndian16(m, 4) != 1) return false;
    const std::size_t answerCount = bigEndian16(m, 6);

    const std::size_t question = 12;
    std::size_t at = 0;
    std::size_t length = 0;
    const bool nameIsReadable = walkName(m, question, at, [&](Bytes label) {
        // A dot or NUL inside a label would make the dotted form mean another name.
        if (std::find_if(label.begin(), label.end(),
                         [](std::uint8_t c) { return c == '.' || c == 0; }) != label.end())
            return false;
        if (length > 0) answer.name_[length++] = '.';
        std::copy(label.begin(), label.end(), answer.name_.begin() + length);
        length += label.size();
        return true;
    });
    // walkName caps the wire form at 255 bytes, so the dotted one (one byte shorter) fits.
    if (!nameIsReadable || at + 4 > m.size()) return false;
    answer.nameLength_ = static_cast<std::uint16_t>(length);
    at += 4;

    KnownNames known;
    known.add(question, length + (length > 0 ? 2 : 1));
    std::array<Record, maximumRecords> records;
    std::size_t recordCount = 0;
    for (std::size_t i = 0; i < answerCount; ++i) {
        const std::size_t owner = at;
        if (!walkName(m, owner, at, anyLabel, &known) || at + 10 > m.size()) return false;
        const std::uint16_t type = bigEndian16(m, at), klass = bigEndian16(m, at + 2);
        const std::uint32_t ttl = bigEndian32(m, at + 4);
        const std::size_t rdlength = bigEndian16(m, at + 8);
        const std::size_t rdata = at + 10;
        if (rdata + rdlength > m.size()) return false;
        at = rdata + rdlength;
        if (klass != classIN) continue;
        if (type == typeA || type == typeAAAA) {
            if (rdlength != (type == typeA ? 4u : 16u)) return false;
        } else if (type == typeCNAME) {
            std::size_t end = 0;
            if (!walkName(m, rdata, end, anyLabel, &known) || end != at) return false;
        } else {
            continue;
        }
        if (recordCount == maximumRecords) continue;
        records[recordCount++] = {static_cast<std::uint32_t>(owner),
                                  static_cast<std::uint32_t>(rdata), ttl & 0x80000000u ? 0 : ttl,
                                  type};
    }
    const std::span<const Record> kept(records.data(), recordCount);

    // The names the answer gives for the question, whatever order the CNAMEs come in.
    std::array<std::size_t, DNSAnswer::maximumChainLength> chain;
    std::size_t chainLength = 1;
    chain[0] = question;
    for (std::size_t c = 0; c < chainLength; ++c) {
        for (const Record& record : kept) {
            if (record.type != typeCNAME || !sameName(m, record.owner, chain[c])) continue;
            const bool known =
                std::any_of(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(chainLength),
                            [&](std::size_t name) { return sameName(m, name, record.rdata); });
            if (!known && chainLength < chain.size()) chain[chainLength++] = record.rdata;
        }
    }

    for (const Record& record : kept) {
        if (record.type == typeCNAME) continue;
        const bool onChain =
            std::any_of(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(chainLength),
                        [&](std::size_t name) { return sameName(m, name, record.owner); });
        if (!onChain) continue;
        if (answer.addressCount_ == DNSAnswer::addressCapacity) {
            answer.droppedAddresses_ = true;
            continue;
        }
        DNSAddress& address = answer.addresses_[answer.addressCount_++];
        address.length = record.type == typeA ? 4 : 16;
        std::copy_n(m.begin() + record.rdata, address.length, address.bytes.begin());
        address.ttl = record.ttl;
    }
    return true;
}

bool readDNSAnswerOverTCP(Bytes stream, DNSAnswer& answer) {
    if (stream.size() < 2) return false;
    const std::size_t length = bigEndian16(stream, 0);
    if (stream.size() - 2 < length) return false;
    return readDNSAnswer(stream.subspan(2, length), answer);
}

}  // namespace tolvane::wire
