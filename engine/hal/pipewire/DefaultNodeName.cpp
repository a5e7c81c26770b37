#include "engine/hal/pipewire/DefaultNodeName.h"

#include <spa/utils/json.h>

#include <vector>

namespace mixelot::hal::pipewire {

std::optional<std::string> parseDefaultNodeName(std::string_view json) {
  spa_json iterator, object;
  spa_json_init(&iterator, json.data(), json.size());
  if (spa_json_enter_object(&iterator, &object) <= 0) return std::nullopt;

  std::vector<char> buffer(json.size() + 1);
  const int capacity = static_cast<int>(buffer.size());
  while (spa_json_get_string(&object, buffer.data(), capacity) > 0) {
    const bool isName = std::string_view(buffer.data()) == "name";
    const char* value = nullptr;
    const int length = spa_json_next(&object, &value);
    if (length <= 0) break;
    if (!isName) continue;
    if (spa_json_is_container(value, length) || spa_json_is_null(value, length)) break;
    if (spa_json_parse_stringn(value, length, buffer.data(), capacity) <= 0) break;
    std::string name(buffer.data());
    if (name.empty()) break;
    return name;
  }
  return std::nullopt;
}

}  // namespace mixelot::hal::pipewire
