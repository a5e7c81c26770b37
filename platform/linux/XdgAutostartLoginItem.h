#pragma once

#include <string>
#include <string_view>

#include "platform/LoginItem.h"

namespace mixelot {

// The login item as an XDG autostart entry, `<config>/autostart/<id>.desktop`. Enabled means the
// file exists and does not say `Hidden=true` (a user or desktop that disables an autostart entry
// writes that key rather than deleting the file). Registering writes our entry; unregistering
// deletes it.
class XdgAutostartLoginItem final : public LoginItem {
 public:
  // `configHome` is $XDG_CONFIG_HOME (or ~/.config); `program` is the path of our executable,
  // started without arguments.
  XdgAutostartLoginItem(std::string configHome, std::string desktopId, std::string_view program);

  Status status() override;
  bool registerItem(std::string& error) override;
  bool unregisterItem(std::string& error) override;

  const std::string& path() const { return path_; }

  // $XDG_CONFIG_HOME, else $HOME/.config.
  static std::string defaultConfigHome();

  // One argument as an Exec line holds it: quoted when it has a space or another character the
  // desktop would split or expand, with `%` doubled.
  static std::string quoteExecArgument(std::string_view argument);

 private:
  std::string folder_;
  std::string path_;
  std::string exec_;  // the Exec value, quoted
};

}  // namespace mixelot
