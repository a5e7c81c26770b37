#pragma once

#include <string>

#include "platform/LoginItem.h"

namespace mixelot {

// The login item as an XDG autostart entry, `<config>/autostart/<id>.desktop`. Enabled means the
// file exists and does not say `Hidden=true` (a user or desktop that disables an autostart entry
// writes that key rather than deleting the file). Registering writes our entry; unregistering
// deletes it.
class XdgAutostartLoginItem final : public LoginItem {
 public:
  // `configHome` is $XDG_CONFIG_HOME (or ~/.config); `exec` is the command line to start us.
  XdgAutostartLoginItem(std::string configHome, std::string desktopId, std::string exec);

  Status status() override;
  bool registerItem(std::string& error) override;
  bool unregisterItem(std::string& error) override;

  const std::string& path() const { return path_; }

  // $XDG_CONFIG_HOME, else $HOME/.config.
  static std::string defaultConfigHome();

 private:
  std::string folder_;
  std::string path_;
  std::string exec_;
};

}  // namespace mixelot
