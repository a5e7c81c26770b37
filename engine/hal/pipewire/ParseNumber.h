#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace mixelot::hal::pipewire {

// A whole property value as a number: nothing for an empty, partly numeric or out-of-range text
// (PipeWire's properties are strings, and a garbled one must not read as 0).
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
  T value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace mixelot::hal::pipewire
