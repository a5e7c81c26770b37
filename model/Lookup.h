#pragma once

#include <optional>
#include <string>

namespace mixelot {

// The value stored under `key`, or nothing: for the model's tables, where a missing entry means
// "use the fallback" rather than a default-constructed value.
template <typename Map>
auto lookup(const Map& map, const std::string& key) -> std::optional<typename Map::mapped_type> {
  auto it = map.find(key);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

}  // namespace mixelot
