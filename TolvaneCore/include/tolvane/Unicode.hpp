// Unicode.hpp: the few Unicode rules the model needs, with ASCII fast paths before ICU.
//
// Every function takes and returns UTF-8. Ill-formed input is read with U+FFFD in place of
// the bad bytes; nothing here throws for bad text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane::unicode {

inline bool isASCII(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

inline bool isASCIIUpper(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}
inline char asciiLower(char c) {
    return isASCIIUpper(static_cast<unsigned char>(c)) ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Full Unicode lower-case mapping of each character, independent of locale and context.
std::string lowercased(std::string_view text);

// Whether any character has the Unicode Uppercase property.
bool containsUppercase(std::string_view text);

// The extended grapheme clusters of `text`, as slices of it.
std::vector<std::string_view> graphemeClusters(std::string_view text);

// The first Unicode scalar of `text` (U+FFFD for ill-formed bytes); REQUIRES: non-empty text.
char32_t firstScalar(std::string_view text);

// Unicode White_Space property.
bool isWhiteSpace(char32_t scalar);

// Trims characters of general category Z, U+0009...U+000D and U+0085 from both ends
// (the "whitespace and newlines" set); `horizontalOnly` trims only Zs and tab.
std::string_view trimmedWhitespace(std::string_view text, bool horizontalOnly = false);

}  // namespace tolvane::unicode
