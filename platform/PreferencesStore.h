#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/PreferenceValue.h"

namespace mixelot {

// The application's user-defaults store: one flat key-value domain kept in a JSON file, plus a
// registration domain of defaults that is consulted only for keys the store does not hold and
// is never written to disk.
//
// Main thread only. Reads see writes at once; the file follows in the background of the main
// queue: a change schedules a write `kWriteDelay` later, later changes push it back, but never
// past `kMaxWriteDelay` after the first unsaved change, so a slider drag costs about one write a
// second and everything is on disk within `kWriteDelay` of the last change. `flush()` writes at
// once (normal quit; the destructor does it too). Writes are synchronous on the main thread: the
// file is small (a few KB), and the delay bounds them to a handful a second.
//
// The file is replaced atomically (a temporary file of the write's own in the same folder, fsync,
// rename, fsync of the folder), so a crash at any moment leaves either the previous or the new
// version, and two processes writing at once leave one of their versions whole. The
// folder is kept at mode 0700 and the file at 0600. A file that does not parse, or whose top
// level is not an object, is moved aside as "preferences.json.corrupt-<timestamp>" and logged;
// the store then starts from the registered defaults. Keys this program does not know are kept
// as they are.
//
// No operation throws. A failed write is logged and the values stay in memory; the next change
// (or `flush()`) tries again.
class PreferencesStore {
 public:
  static constexpr std::string_view kFileName = "preferences.json";
  static constexpr Seconds kWriteDelay{0.25};
  static constexpr Seconds kMaxWriteDelay{1.0};

  // $XDG_CONFIG_HOME/com.corvana.Mixelot, or ~/.config/com.corvana.Mixelot when the variable is
  // unset or not an absolute path.
  static std::string defaultFolder();

  // Reads `folder`/preferences.json if it exists. Nothing is created on disk before the first
  // write.
  PreferencesStore(std::string folder, MainQueue& queue);
  ~PreferencesStore();
  PreferencesStore(const PreferencesStore&) = delete;
  PreferencesStore& operator=(const PreferencesStore&) = delete;

  // Merges `defaults` into the registration domain (a later registration of a key wins).
  void registerDefaults(const PreferenceDictionary& defaults);

  // --- Reads. Each looks at the stored value first, then at the registered default.

  // The raw value; absent when neither domain holds the key. JSON null (foreign to property
  // lists) reads as absent, and nulls nested in arrays or dictionaries are left out.
  std::optional<PreferenceValue> object(std::string_view key) const;

  // Numbers convert (a real truncates toward zero when read as an integer, and saturates past the
  // type's range), booleans read as 1 or 0; anything else (text too), or an absent key, reads as
  // 0.
  float floatValue(std::string_view key) const;
  double doubleValue(std::string_view key) const;
  std::int64_t integerValue(std::string_view key) const;

  // Booleans as they are; numbers are true when not 0; anything else (text too), or an absent
  // key, is false.
  bool boolValue(std::string_view key) const;

  // A string, or a number written out as text; absent for anything else.
  std::optional<std::string> stringValue(std::string_view key) const;

  // Absent unless the value is an array holding only strings.
  std::optional<std::vector<std::string>> stringArray(std::string_view key) const;

  // Absent unless the value is a dictionary.
  std::optional<PreferenceDictionary> dictionary(std::string_view key) const;

  // --- Whole-table reads. A table is taken whole or not at all: it is absent when the key is
  // missing, is not a dictionary, or any entry is not of the shape. A float entry must be a
  // number within the range of a 32-bit float (booleans do not count as numbers here).

  // string -> float, e.g. "savedVolumes".
  std::optional<std::map<std::string, float>> floatTable(std::string_view key) const;
  // string -> (string -> float), e.g. "deviceSpecificVolumes", "appPerDeviceVolumes".
  std::optional<std::map<std::string, std::map<std::string, float>>> nestedFloatTable(
      std::string_view key) const;
  // string -> list of strings, e.g. "appDeviceRouting".
  std::optional<std::map<std::string, std::vector<std::string>>> stringListTable(
      std::string_view key) const;
  // string -> string (the older one-device-per-application routing).
  std::optional<std::map<std::string, std::string>> stringTable(std::string_view key) const;

  // --- Writes. Visible to reads at once; on disk after the write delay.

  void set(std::string_view key, const PreferenceValue& value);
  // Afterwards the registered default, if any, reads again.
  void remove(std::string_view key);

  // Writes pending changes now. Returns whether the file is up to date.
  bool flush();

  const std::string& folder() const;
  std::string filePath() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace mixelot
