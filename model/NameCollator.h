#pragma once

#include <locale>
#include <string>
#include <string_view>

namespace mixelot {

// Orders display names as a person expects: case-insensitive, by the user's locale's collation
// ("safari" before "Zoom"). Sort keys are computed once per name, so sorting compares plain
// strings.
class NameCollator {
 public:
  // The user's locale from the environment; the classic locale when that cannot be made.
  NameCollator();
  explicit NameCollator(const std::locale& locale) : locale_(locale) {}

  // A key whose lexicographic order is the collation order of the names. Invalid UTF-8 bytes
  // read as U+FFFD.
  std::wstring sortKey(std::string_view utf8) const;

 private:
  std::locale locale_;
};

}  // namespace mixelot
