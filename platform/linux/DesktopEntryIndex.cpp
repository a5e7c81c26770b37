#include "platform/linux/DesktopEntryIndex.h"

#include <gio/gdesktopappinfo.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

namespace mixelot {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string fileName(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string orEmpty(const char* text) {
  return text ? text : "";
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

// Game launchers by desktop-entry id (native and Flatpak) or program name.
bool isGameLauncher(std::string_view id, std::string_view executable) {
  static constexpr std::array<std::string_view, 14> kLaunchers = {
      "steam",   "com.valvesoftware.Steam",     "lutris",     "net.lutris.Lutris",
      "heroic",  "com.heroicgameslauncher.hgl", "itch",       "io.itch.itch",
      "bottles", "com.usebottles.bottles",      "minigalaxy", "io.github.sharkwouter.Minigalaxy",
      "gamehub", "com.github.tkashkin.gamehub"};
  for (auto launcher : kLaunchers)
    if (equalsIgnoringCase(id, launcher) || equalsIgnoringCase(executable, launcher)) return true;
  return false;
}

// Folders many programs share: being in one says nothing about which application a program is.
bool isSharedFolder(const fs::path& folder) {
  static constexpr std::array<std::string_view, 17> kShared = {"/",
                                                               "/bin",
                                                               "/sbin",
                                                               "/usr/bin",
                                                               "/usr/sbin",
                                                               "/usr/games",
                                                               "/usr/lib",
                                                               "/usr/lib32",
                                                               "/usr/lib64",
                                                               "/usr/libexec",
                                                               "/usr/local/bin",
                                                               "/usr/local/sbin",
                                                               "/usr/local/games",
                                                               "/usr/local/lib",
                                                               "/usr/share",
                                                               "/opt",
                                                               "/snap/bin"};
  for (auto shared : kShared)
    if (folder == shared) return true;
  // Another folder on the PATH (~/.local/bin, ~/bin) is shared as well.
  std::stringstream path(orEmpty(std::getenv("PATH")));
  for (std::string dir; std::getline(path, dir, ':');)
    if (!dir.empty() && folder == fs::path(dir)) return true;
  return false;
}

// Where the entry's program really is, following every symbolic link.
void resolveProgram(DesktopEntry& entry, const char* program) {
  if (!program || !*program) return;
  std::unique_ptr<char, decltype(&g_free)> found(g_find_program_in_path(program), &g_free);
  if (!found) return;
  std::error_code error;
  fs::path real = fs::canonical(found.get(), error);
  if (error) return;
  entry.realExecutable = real.string();
  // Only a program reached through a link ("/usr/bin/foo-stable" -> "/opt/vendor/foo/foo") tells
  // where an application is installed: a folder that merely holds the program may hold others.
  if (real != fs::path(found.get()) && !isSharedFolder(real.parent_path()))
    entry.installFolder = real.parent_path().string();
}

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

std::optional<DesktopEntry> parse(const fs::path& file, std::string id) {
  std::unique_ptr<GDesktopAppInfo, ObjectUnref> info(
      g_desktop_app_info_new_from_filename(file.c_str()));
  // GIO refuses entries that are not applications or that are malformed.
  if (!info) return std::nullopt;
  if (g_desktop_app_info_get_is_hidden(info.get())) return std::nullopt;
  DesktopEntry entry;
  entry.id = std::move(id);
  entry.name = orEmpty(g_app_info_get_name(G_APP_INFO(info.get())));
  std::unique_ptr<char, decltype(&g_free)> icon(g_desktop_app_info_get_string(info.get(), "Icon"),
                                                &g_free);
  entry.icon = orEmpty(icon.get());
  const char* program = g_app_info_get_executable(G_APP_INFO(info.get()));
  entry.executable = fileName(orEmpty(program));
  std::unique_ptr<char, decltype(&g_free)> tryExec(
      g_desktop_app_info_get_string(info.get(), "TryExec"), &g_free);
  if (entry.executable.empty()) {
    entry.executable = fileName(orEmpty(tryExec.get()));
    program = tryExec.get();
  }
  resolveProgram(entry, program);
  entry.startupWMClass = orEmpty(g_desktop_app_info_get_startup_wm_class(info.get()));
  std::string categories = ";" + orEmpty(g_desktop_app_info_get_categories(info.get())) + ";";
  entry.terminalEmulator = categories.find(";TerminalEmulator;") != std::string::npos;
  entry.gameLauncher = isGameLauncher(entry.id, entry.executable);
  return entry;
}

}  // namespace

std::vector<std::string> DesktopEntryIndex::defaultDataDirs() {
  std::vector<std::string> dirs;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::string userData;
  if (dataHome && *dataHome)
    userData = dataHome;
  else if (home)
    userData = std::string(home) + "/.local/share";
  if (!userData.empty()) dirs.push_back(userData);
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');)
    if (!dir.empty()) dirs.push_back(dir);
  // Flatpak's exported entries, where sandboxed apps are known by their app id. A desktop session
  // normally lists them already; a program started before that (a login's autostart, a systemd
  // unit) has a shorter list.
  std::vector<std::string> exports = {"/var/lib/flatpak/exports/share"};
  if (!userData.empty()) exports.insert(exports.begin(), userData + "/flatpak/exports/share");
  for (auto& dir : exports)
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(std::move(dir));
  return dirs;
}

DesktopEntryIndex DesktopEntryIndex::load(const std::vector<std::string>& dataDirs) {
  DesktopEntryIndex index;
  for (const auto& dir : dataDirs) {
    fs::path root = fs::path(dir) / "applications";
    std::error_code error;
    if (!fs::is_directory(root, error)) continue;
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
      if (error) break;
      if (!it->is_regular_file(error) || it->path().extension() != ".desktop") continue;
      // The id of applications/kde/foo.desktop is "kde-foo".
      std::string id = fs::relative(it->path(), root, error).replace_extension().string();
      std::replace(id.begin(), id.end(), '/', '-');
      if (index.entries_.count(id)) continue;
      if (auto entry = parse(it->path(), id)) index.entries_.emplace(id, std::move(*entry));
    }
  }
  return index;
}

const DesktopEntry* DesktopEntryIndex::byId(std::string_view id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

const DesktopEntry* DesktopEntryIndex::matchExecutable(std::string_view executablePath) const {
  std::string name = fileName(executablePath);
  if (name.empty()) return nullptr;
  // The same file first: the strongest evidence. Then the program's name, then its folder (a
  // wrapper in /usr/bin that starts /opt/vendor/app/app-bin), then the id or window class, which
  // many programs share with their binary's name (firefox; org.gnome.Totem -> totem does not).
  std::error_code error;
  const fs::path real = fs::weakly_canonical(fs::path(executablePath), error);
  if (!error) {
    for (const auto& [id, entry] : entries_)
      if (!entry.realExecutable.empty() && real == entry.realExecutable) return &entry;
  }
  for (const auto& [id, entry] : entries_)
    if (entry.executable == name) return &entry;
  if (!error) {
    const std::string folder = real.parent_path().string();
    for (const auto& [id, entry] : entries_)
      if (!entry.installFolder.empty() &&
          (folder == entry.installFolder || folder.starts_with(entry.installFolder + "/")))
        return &entry;
  }
  std::string lowered = lower(name);
  for (const auto& [id, entry] : entries_)
    if (lower(entry.startupWMClass) == lowered || lower(id) == lowered) return &entry;
  return nullptr;
}

const DesktopEntry* DesktopEntryIndex::matchName(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (const auto& [id, entry] : entries_)
    if (equalsIgnoringCase(entry.name, name)) return &entry;
  return nullptr;
}

std::optional<std::string> appIdFromCgroup(std::string_view cgroup) {
  // Lines look like "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-
  // org.gnome.Rhythmbox3-1234.scope"; the unit is the last path component of the v2 line.
  std::string_view line = cgroup;
  if (auto pos = cgroup.find("0::"); pos != std::string_view::npos) line = cgroup.substr(pos + 3);
  if (auto end = line.find('\n'); end != std::string_view::npos) line = line.substr(0, end);
  std::string_view unit =
      line.substr(line.rfind('/') == std::string_view::npos ? 0 : line.rfind('/') + 1);
  if (!unit.starts_with("app-")) return std::nullopt;
  unit.remove_prefix(4);
  bool isScope = unit.ends_with(".scope");
  if (isScope)
    unit.remove_suffix(6);
  else if (unit.ends_with(".service"))
    unit.remove_suffix(8);
  else
    return std::nullopt;
  if (auto at = unit.find('@'); at != std::string_view::npos) unit = unit.substr(0, at);

  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t dash = unit.find('-', start);
    parts.push_back(unit.substr(start, dash - start));
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  // A scope ends in a random part; what is left is [launcher-]id.
  if (isScope && parts.size() >= 2) parts.pop_back();
  if (parts.empty() || parts.size() > 2) return std::nullopt;
  std::string_view escaped = parts.back();
  std::string id;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped.substr(i).starts_with("\\x2d")) {
      id += '-';
      i += 3;
    } else {
      id += escaped[i];
    }
  }
  if (id.empty()) return std::nullopt;
  return id;
}

}  // namespace mixelot
