#include "info/json.h"

#include "info/utf8.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kelvo {

void json_writer::start_value() {
    if (after_value_)
        out_ += ',';
    after_value_ = true;
}

void json_writer::begin_object() {
    start_value();
    out_ += '{';
    after_value_ = false;
}

void json_writer::end_object() {
    out_ += '}';
    after_value_ = true;
}

void json_writer::begin_array() {
    start_value();
    out_ += '[';
    after_value_ = false;
}

void json_writer::end_array() {
    out_ += ']';
    after_value_ = true;
}

void json_writer::key(std::string_view name) {
    start_value();
    append_escaped(name);
    out_ += ':';
    after_value_ = false;
}

void json_writer::string(std::string_view text) {
    start_value();
    append_escaped(text);
}

void json_writer::number(float value) {
    start_value();
    if (!std::isfinite(value)) {
        out_ += "null";
        return;
    }
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out_.append(digits, end);
}

void json_writer::integer(uint64_t value) {
    start_value();
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out_.append(digits, end);
}

void json_writer::boolean(bool value) {
    start_value();
    out_ += value ? "true" : "false";
}

void json_writer::null() {
    start_value();
    out_ += "null";
}

void json_writer::append_escaped(std::string_view text) {
    out_ += '"';
    while (!text.empty()) {
        const code_point c = first_code_point(text);
        if (c.length == 0) {
            out_ += replacement_character;
            text.remove_prefix(1);
            continue;
        }
        if (c.value == '"' || c.value == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c.value);
        } else if (is_control(c.value)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c.value));
            out_ += escape;
        } else {
            out_.append(text.substr(0, c.length));
        }
        text.remove_prefix(c.length);
    }
    out_ += '"';
}

}  // namespace kelvo
