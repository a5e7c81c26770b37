#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mixelot {

// What we need of one desktop entry: how to show an application and how to recognise its
// processes.
struct DesktopEntry {
  std::string id;  // "org.gnome.Rhythmbox3" for .../applications/org.gnome.Rhythmbox3.desktop
  std::string name;
  std::string icon;
  std::string executable;  // the file name of Exec's program (or TryExec's), no path
  // Exec's program found on the PATH with every symbolic link resolved ("/usr/bin/foo-stable" ->
  // "/opt/vendor/foo/foo-launcher"), and, when a link led there, the folder it is installed in
  // unless that is a shared one such as /usr/lib; empty when unknown.
  std::string realExecutable;
  std::string installFolder;
  std::string startupWMClass;
  // Categories holds TerminalEmulator: what runs inside is other programs, not this one.
  bool terminalEmulator = false;
  // A game launcher (Steam, Lutris, Heroic...): the games it starts are applications of their own.
  bool gameLauncher = false;

  bool hostsOtherPrograms() const { return terminalEmulator || gameLauncher; }
};

// The installed desktop entries under the XDG data folders, parsed with GIO, and the rules that
// tie a process to one of them.
class DesktopEntryIndex {
 public:
  // Scans `<dir>/applications` of every data folder; an id found in an earlier folder wins, as
  // in the desktop-entry lookup rules.
  static DesktopEntryIndex load(const std::vector<std::string>& dataDirs);
  // $XDG_DATA_HOME (or ~/.local/share) then $XDG_DATA_DIRS (or /usr/local/share:/usr/share), then
  // Flatpak's export folders (the user's, then the system's) when not among them.
  static std::vector<std::string> defaultDataDirs();

  const DesktopEntry* byId(std::string_view id) const;
  // The entry of a program, strongest evidence first: the same real path as the entry's program;
  // the entry's program's file name; a program inside the entry's install folder (a wrapper
  // script or symbolic link that starts the real binary beside it); the id or StartupWMClass
  // equal to the file name (ignoring case).
  const DesktopEntry* matchExecutable(std::string_view executablePath) const;
  // The entry whose Name is `name`, ignoring case (what a program calls itself, such as the
  // application.name of its audio streams).
  const DesktopEntry* matchName(std::string_view name) const;
  size_t size() const { return entries_.size(); }

 private:
  std::map<std::string, DesktopEntry, std::less<>> entries_;
};

// The application id in a systemd unit name of the process's cgroup, as desktops launch apps:
// "app[-<launcher>]-<id>-<random>.scope" or "app[-<launcher>]-<id>[@<random>].service", with
// dashes inside the id escaped as "\x2d". `cgroup` is the text of /proc/PID/cgroup.
std::optional<std::string> appIdFromCgroup(std::string_view cgroup);

}  // namespace mixelot
