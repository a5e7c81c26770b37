#pragma once

#include <spa/utils/dict.h>

#include <map>
#include <string>
#include <string_view>

namespace mixelot::hal::pipewire {

// A copy of a PipeWire property dictionary, kept after the event that carried it.
using Dict = std::map<std::string, std::string, std::less<>>;

// Adds (or replaces) every entry of `from`.
inline void merge(Dict& into, const spa_dict* from) {
  if (!from) return;
  const spa_dict_item* item;
  spa_dict_for_each(item, from) {
    if (item->key && item->value) into.insert_or_assign(item->key, item->value);
  }
}

inline Dict toDict(const spa_dict* from) {
  Dict dict;
  merge(dict, from);
  return dict;
}

// The value of `key`, or the empty string.
inline std::string_view lookup(const Dict& dict, std::string_view key) {
  auto it = dict.find(key);
  return it == dict.end() ? std::string_view() : std::string_view(it->second);
}

}  // namespace mixelot::hal::pipewire
