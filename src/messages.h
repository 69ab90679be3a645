#pragma once

namespace kelvo {

class diagnostics;

// Every error and warning goes through here: one line on standard error that starts with the
// program's name, printed in place of the progress line.

/// Names the program in every later message: argv[0] exactly as passed.
void set_program_name(const char* name);

/// The name messages start with ("kelvo" until set).
const char* program_name();

/// Prints "<program>: error: <text>" and a line feed.
[[gnu::format(printf, 1, 2)]] void error(const char* format, ...);

/// Prints "<program>: warning: <text>" and a line feed.
[[gnu::format(printf, 1, 2)]] void warning(const char* format, ...);

/// Prints an engine's errors and warnings as the functions above do.
diagnostics& printed_diagnostics();

/// The out-of-memory error, the one message every failed allocation gives.
void report_out_of_memory();

}  // namespace kelvo
