#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>
#include <tolvane/Unicode.hpp>

namespace tolvane::unicode {

namespace {
std::u16string toUTF16(std::string_view text) {
    std::u16string out(text.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                         &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                         &status);
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
    return out;
}

std::string toUTF8(const UChar* text, int32_t length) {
    std::string out;
    icu::UnicodeString(false, text, length).toUTF8String(out);
    return out;
}

// Calls `body` for each scalar of `text`; stops when it returns true.
template <class Body>
bool anyScalar(std::string_view text, Body body) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) c = 0xFFFD;
        if (body(static_cast<char32_t>(c))) return true;
    }
    return false;
}
}  // namespace

std::string lowercased(std::string_view text) {
    if (isASCII(text)) {
        std::string out(text);
        for (char& c : out) c = asciiLower(c);
        return out;
    }
    std::u16string wide = toUTF16(text);
    // Every character maps on its own: capital sigma always becomes σ, never the word-final ς
    // that the context-sensitive rule would pick, so a name lower-cases alike wherever it ends.
    for (char16_t& unit : wide) {
        if (unit == u'\u03A3') unit = u'\u03C3';
    }
    std::u16string lower(wide.size() * 3 + 4, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t length =
        u_strToLower(reinterpret_cast<UChar*>(lower.data()), static_cast<int32_t>(lower.size()),
                     reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                     "", &status);
    if (U_FAILURE(status)) return std::string(text);
    return toUTF8(reinterpret_cast<const UChar*>(lower.data()), length);
}

bool containsUppercase(std::string_view text) {
    if (isASCII(text)) {
        for (unsigned char c : text) {
            if (isASCIIUpper(c)) return true;
        }
        return false;
    }
    return anyScalar(text, [](char32_t c) { return u_isUUppercase(static_cast<UChar32>(c)) != 0; });
}

std::vector<std::string_view> graphemeClusters(std::string_view text) {
    std::vector<std::string_view> clusters;
    if (text.empty()) return clusters;
    // One iterator per thread: creating one costs far more than using it.
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(it) : nullptr;
    }();
    if (!iterator) {
        clusters.push_back(text);
        return clusters;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (U_FAILURE(status)) {
        clusters.push_back(text);
        return clusters;
    }
    iterator->setText(utext, status);
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
         start = end, end = iterator->next()) {
        clusters.push_back(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    // Detach the iterator from the text before the text goes away.
    iterator->setText(icu::UnicodeString());
    utext_close(utext);
    return clusters;
}

char32_t firstScalar(std::string_view text) {
    char32_t first = 0xFFFD;
    anyScalar(text, [&](char32_t c) {
        first = c;
        return true;
    });
    return first;
}

bool isWhiteSpace(char32_t scalar) {
    return u_hasBinaryProperty(static_cast<UChar32>(scalar), UCHAR_WHITE_SPACE) != 0;
}

namespace {
bool isTrimmed(UChar32 c, bool horizontalOnly) {
    if (c == '\t') return true;
    const auto category = u_charType(c);
    if (horizontalOnly) return category == U_SPACE_SEPARATOR;
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || category == U_SPACE_SEPARATOR ||
           category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}
}  // namespace

std::string_view trimmedWhitespace(std::string_view text, bool horizontalOnly) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t begin = 0;
    int32_t end = static_cast<int32_t>(text.size());
    while (begin < end) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, end, c);
        if (c < 0 || !isTrimmed(c, horizontalOnly)) break;
        begin = next;
    }
    while (end > begin) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, begin, previous, c);
        if (c < 0 || !isTrimmed(c, horizontalOnly)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace tolvane::unicode
