// One `-c` argument, the input's bytes up to the first NUL, added to a list that already
// holds gain:0.5, so that repeating a port with the same or another value is reached too.
// The outcome is checked against the rules written out once more here.

#include "cli/assignments.h"
#include "require.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool symbol_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool valid_symbol(const std::string& s) {
    if (s.empty() || !symbol_start(s[0]))
        return false;
    for (char c : s) {
        if (!symbol_start(c) && !(c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char gain[] = "gain";
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const std::string original = text.data();

    kelvo::assignment_list list{{gain, 0.5f}};
    const bool accepted = kelvo::add_assignment(list, text.data());

    require(list.size() == 1 || list.size() == 2);
    require(list[0].symbol == gain && same_bits(list[0].value, 0.5f));
    require(kelvo::is_port_symbol(original.c_str()) == valid_symbol(original));

    const size_t colon = original.find(':');
    if (colon == std::string::npos) {
        require(!accepted && list.size() == 1 && original == text.data());
        return 0;
    }
    // Cut in place at the first colon, whether or not the rest is accepted.
    require(text[colon] == '\0' && original.compare(0, colon, text.data()) == 0);
    const std::string symbol = original.substr(0, colon);
    require(kelvo::is_port_symbol(symbol.c_str()) == valid_symbol(symbol));

    const char* value_text = original.c_str() + colon + 1;
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(value_text, &end);
    const bool value_ok = errno == 0 && *end == '\0';
    const bool repeated = symbol == "gain";
    // A repeat is accepted only with an equal value, compared as floats: NaN never is.
    require(accepted == (valid_symbol(symbol) && value_ok && (!repeated || value == 0.5f)));

    if (accepted && !repeated) {
        require(list.size() == 2 && list[1].symbol == text.data());
        require(same_bits(list[1].value, value));
    } else {
        require(list.size() == 1);
    }
    return 0;
}
