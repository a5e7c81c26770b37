#pragma once

#include <compare>
#include <string>

namespace mixelot {

// Which chain: one app's, on one output device. Ordered by app first, so the chains of an app
// sit next to each other whatever characters its id holds.
struct ChainKey {
  std::string appID;
  std::string deviceUID;

  auto operator<=>(const ChainKey&) const = default;
};

}  // namespace mixelot
