#include "cli/assignments.h"

#include "cli/options.h"
#include "memory.h"

#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_invalid_assignment[] = "%s: error: invalid <port>:<value> argument\n";
constexpr char msg_invalid_symbol[] = "%s: error: invalid port identifier '%s'\n";
constexpr char msg_invalid_value[] = "%s: error: invalid value for port '%s'\n";
constexpr char msg_different_value[] =
    "%s: error: a different value for port '%s' was already specified\n";

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

port_assignment* find_assignment(assignment_list& list, const char* symbol) {
    for (port_assignment& a : list) {
        if (std::strcmp(a.symbol, symbol) == 0)
            return &a;
    }
    return nullptr;
}

bool add_assignment(assignment_list& list, char* text, const char* program_name) {
    char* const colon = std::strchr(text, ':');
    if (!colon) {
        std::fprintf(stderr, msg_invalid_assignment, program_name);
        return false;
    }
    *colon = '\0';
    const char* const symbol = text;
    if (!is_port_symbol(symbol)) {
        std::fprintf(stderr, msg_invalid_symbol, program_name, symbol);
        return false;
    }
    float value = 0;
    if (!parse_c_number(colon + 1, value)) {
        std::fprintf(stderr, msg_invalid_value, program_name, symbol);
        return false;
    }
    if (const port_assignment* earlier = find_assignment(list, symbol)) {
        // Compared as floats: two NaNs differ, 0 and -0 agree; the first value given stays.
        if (!(earlier->value == value)) {
            std::fprintf(stderr, msg_different_value, program_name, symbol);
            return false;
        }
        return true;
    }
    return allocate_or_report([&] { list.push_back({symbol, value, nullptr}); }, program_name);
}

}  // namespace kelvo
