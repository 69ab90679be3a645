#pragma once

#include "info/describe.h"

#include <span>
#include <string>

namespace kelvo {

/// One line per plugin: URI, name, audio inputs/outputs and the verdict, separated by tabs.
std::string list_text(std::span<const plugin_summary> plugins);

/// The list as one JSON document.
std::string list_json(std::span<const plugin_summary> plugins);

/// The description for a person, one fact or port a line.
std::string description_text(const plugin_description& description);

/// The description as one JSON document.
std::string description_json(const plugin_description& description);

}  // namespace kelvo
