#pragma once

#include "controls/GlobalShortcutService.h"

namespace mixelot::controls {

// A desktop without a shortcut facility we can use: the actions stay reachable through the
// program's D-Bus methods, which the desktop's own keyboard settings can bind.
class NoShortcutService final : public GlobalShortcutService {
 public:
  std::string_view name() const override {
    return "none (bind keys to the D-Bus methods ToggleMuteAll and TogglePanel)";
  }
  bool registerShortcut(const GlobalShortcut&) override { return false; }
  void unregisterShortcut(std::uint32_t) override {}
};

}  // namespace mixelot::controls
