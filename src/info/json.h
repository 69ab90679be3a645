#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo {

/// Appends one JSON document to a string, with the separators, escapes and number forms
/// JSON requires. The caller nests the calls; every call may throw std::bad_alloc.
class json_writer {
public:
    explicit json_writer(std::string& out) : out_{out} {}
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    /// The name of the next member of the object being written.
    void key(std::string_view name);
    /// UTF-8 text; bytes that are not well-formed UTF-8 become U+FFFD.
    void string(std::string_view text);
    /// A float in its shortest round-trip form; null when it is not finite.
    void number(float value);
    void integer(uint64_t value);
    void boolean(bool value);
    void null();

private:
    void start_value();
    void append_escaped(std::string_view text);

    std::string& out_;
    bool after_value_ = false;  ///< a comma goes before the next value or key
};

}  // namespace kelvo
