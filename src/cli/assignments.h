#pragma once

#include <vector>

namespace kelvo {

/// One `-c port:value`, in command-line order.
struct port_assignment {
    const char* symbol = nullptr;  ///< points into argv, cut at the colon
    float value = 0;
};

/// The user's control values, read by the port plan and never written after parsing.
using assignment_list = std::vector<port_assignment>;

/// Parses one `-c` argument, cutting `text` at its first colon, and appends it to `list`.
/// Prints the error and returns false when the argument is refused.
bool add_assignment(assignment_list& list, char* text);

/// The first entry whose symbol is exactly `symbol`, or null.
const port_assignment* find_assignment(const assignment_list& list, const char* symbol);

/// True for a valid port symbol: a letter or '_' first, then letters, digits and '_'.
bool is_port_symbol(const char* text);

}  // namespace kelvo
