#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelvo {

/// One decoded character of a UTF-8 text.
struct code_point {
    uint32_t value = 0;
    size_t length = 0;  ///< bytes it takes; 0 when the text starts with no well-formed one
};

/// The character that starts `text`. Overlong forms, surrogates, values beyond U+10FFFF and
/// cut sequences are not well formed.
code_point first_code_point(std::string_view text);

/// True for the C0 and C1 control characters and DEL.
bool is_control(uint32_t value);

/// What the Unicode replacement character is in UTF-8, for bytes that are not well formed.
constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

}  // namespace kelvo
