#include "platform/PreferenceValue.h"

#include <charconv>
#include <cmath>

namespace mixelot {

PreferenceValue::PreferenceValue(float value) : storage_(static_cast<double>(value)) {
  if (!std::isfinite(value)) return;
  // The shortest form that round-trips as a float, read back as a double: exact for the float,
  // short in the file.
  char text[32];
  auto printed = std::to_chars(text, text + sizeof text, value);
  if (printed.ec != std::errc()) return;
  double shortest = 0.0;
  auto parsed = std::from_chars(text, printed.ptr, shortest);
  if (parsed.ec == std::errc() && static_cast<float>(shortest) == value) storage_ = shortest;
}

}  // namespace mixelot
