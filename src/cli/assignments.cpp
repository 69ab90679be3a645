#include "cli/assignments.h"

#include "cli/options.h"
#include "memory.h"
#include "messages.h"

#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_invalid_assignment[] = "invalid <port>:<value> argument";
constexpr char msg_invalid_symbol[] = "invalid port identifier '%s'";
constexpr char msg_invalid_value[] = "invalid value for port '%s'";
constexpr char msg_different_value[] = "a different value for port '%s' was already specified";

bool is_symbol_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool is_symbol_char(char c) { return is_symbol_start(c) || (c >= '0' && c <= '9'); }

}  // namespace

bool is_port_symbol(const char* text) {
    if (!is_symbol_start(text[0]))
        return false;
    for (const char* p = text + 1; *p; ++p) {
        if (!is_symbol_char(*p))
            return false;
    }
    return true;
}

const port_assignment* find_assignment(const assignment_list& list, const char* symbol) {
    for (const port_assignment& a : list) {
        if (std::strcmp(a.symbol, symbol) == 0)
            return &a;
    }
    return nullptr;
}

bool add_assignment(assignment_list& list, char* text) {
    char* const colon = std::strchr(text, ':');
    if (!colon) {
        error(msg_invalid_assignment);
        return false;
    }
    *colon = '\0';
    const char* const symbol = text;
    if (!is_port_symbol(symbol)) {
        error(msg_invalid_symbol, symbol);
        return false;
    }
    float value = 0;
    if (!parse_c_number(colon + 1, value)) {
        error(msg_invalid_value, symbol);
        return false;
    }
    if (const port_assignment* earlier = find_assignment(list, symbol)) {
        // Compared as floats: two NaNs differ, 0 and -0 agree; the first value given stays.
        if (!(earlier->value == value)) {
            error(msg_different_value, symbol);
            return false;
        }
        return true;
    }
    return allocate_or_report([&] { list.push_back({symbol, value}); });
}

}  // namespace kelvo
