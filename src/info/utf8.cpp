#include "info/utf8.h"

namespace kelvo {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

code_point first_code_point(std::string_view text) {
    if (text.empty())
        return {};
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80)
        return {lead, 1};
    // The lead byte gives the length and the range the second byte must lie in, which
    // excludes overlong forms, surrogates and values beyond U+10FFFF.
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (text.size() < length)
        return {};
    const auto second = static_cast<unsigned char>(text[1]);
    if (second < low || second > high)
        return {};
    for (size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!is_continuation(c))
            return {};
        value = (value << 6) | (c & 0x3Fu);
    }
    return {value, length};
}

bool is_control(uint32_t value) { return value < 0x20 || (value >= 0x7F && value <= 0x9F); }

}  // namespace kelvo
