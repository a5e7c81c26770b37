#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mixelot::hal::pipewire {

// The node name in a "default" metadata value such as `{"name":"speakers"}` (type
// Spa:String:JSON). PipeWire's relaxed JSON (`{ name = speakers }`) is read too, as tools may
// write it. Nothing for a value without a usable name.
std::optional<std::string> parseDefaultNodeName(std::string_view json);

}  // namespace mixelot::hal::pipewire
