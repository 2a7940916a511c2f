#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <tolvane/JSON.hpp>

namespace tolvane::testing {

// The error decoding `text` as T ends in; a failure if it decodes.
template <class T>
DecodingError decodingError(std::string_view text) {
    try {
        decodeJSON<T>(text);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError(DecodingError::Kind::valueNotFound, {}, "");
}

}  // namespace tolvane::testing
