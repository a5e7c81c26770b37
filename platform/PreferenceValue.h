#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mixelot {

// One stored preference in property-list shape: a boolean, a number (integer and real stay
// distinct, as they do in the file), a string, an array, or a dictionary keyed by strings.
//
// Conversions are implicit so that call sites read like the values they store:
//   store.set(keys::kDefaultVolume, 0.5f);
//   store.set(keys::kHiddenApps, std::vector<std::string>{"org.example.Player"});
//   store.set(keys::kSavedVolumes, std::map<std::string, float>{{"org.example.Player", 0.4f}});
class PreferenceValue {
 public:
  using Array = std::vector<PreferenceValue>;
  using Dictionary = std::map<std::string, PreferenceValue, std::less<>>;
  using Storage = std::variant<bool, std::int64_t, double, std::string, Array, Dictionary>;

  PreferenceValue(bool value) : storage_(value) {}

  template <std::integral T>
  requires(!std::same_as<T, bool>) PreferenceValue(T value) {
    // An unsigned value past the signed range can only be kept as a real number.
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max())) {
        storage_ = static_cast<double>(value);
        return;
      }
    }
    storage_ = static_cast<std::int64_t>(value);
  }

  PreferenceValue(double value) : storage_(value) {}
  // Stored as the shortest decimal that reads back as the same float, so that 0.3f is written
  // as 0.3 rather than 0.30000001192092896 and still compares equal after a round trip.
  PreferenceValue(float value);

  PreferenceValue(std::string value) : storage_(std::move(value)) {}
  PreferenceValue(std::string_view value) : storage_(std::string(value)) {}
  PreferenceValue(const char* value) : storage_(std::string(value)) {}
  PreferenceValue(Array value) : storage_(std::move(value)) {}
  PreferenceValue(Dictionary value) : storage_(std::move(value)) {}

  // Lists and string-keyed tables of anything convertible, e.g. the per-application tables.
  template <typename T>
  requires std::constructible_from<PreferenceValue, const T&> PreferenceValue(
      const std::vector<T>& values)
      : storage_(Array(values.begin(), values.end())) {}

  template <typename T, typename Compare>
  requires std::constructible_from<PreferenceValue, const T&> PreferenceValue(
      const std::map<std::string, T, Compare>& table) {
    Dictionary dictionary;
    for (const auto& [key, value] : table) dictionary.emplace(key, PreferenceValue(value));
    storage_ = std::move(dictionary);
  }

  const Storage& storage() const { return storage_; }

  bool isBool() const { return std::holds_alternative<bool>(storage_); }
  bool isInteger() const { return std::holds_alternative<std::int64_t>(storage_); }
  bool isReal() const { return std::holds_alternative<double>(storage_); }
  bool isNumber() const { return isInteger() || isReal(); }
  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  bool isArray() const { return std::holds_alternative<Array>(storage_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }

  // Null when the value has another shape.
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }

  friend bool operator==(const PreferenceValue&, const PreferenceValue&) = default;

 private:
  Storage storage_;
};

using PreferenceDictionary = PreferenceValue::Dictionary;
using PreferenceArray = PreferenceValue::Array;

}  // namespace mixelot
