#include "platform/linux/DesktopEntryIndex.h"

#include <gio/gdesktopappinfo.h>

#include <algorithm>
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
  entry.executable = fileName(orEmpty(g_app_info_get_executable(G_APP_INFO(info.get()))));
  if (entry.executable.empty()) {
    std::unique_ptr<char, decltype(&g_free)> tryExec(
        g_desktop_app_info_get_string(info.get(), "TryExec"), &g_free);
    entry.executable = fileName(orEmpty(tryExec.get()));
  }
  entry.startupWMClass = orEmpty(g_desktop_app_info_get_startup_wm_class(info.get()));
  std::string categories = ";" + orEmpty(g_desktop_app_info_get_categories(info.get())) + ";";
  entry.terminalEmulator = categories.find(";TerminalEmulator;") != std::string::npos;
  return entry;
}

}  // namespace

std::vector<std::string> DesktopEntryIndex::defaultDataDirs() {
  std::vector<std::string> dirs;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome && *dataHome)
    dirs.emplace_back(dataHome);
  else if (home)
    dirs.push_back(std::string(home) + "/.local/share");
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');)
    if (!dir.empty()) dirs.push_back(dir);
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
  // Exact program names first: the strongest evidence. Then the id or window class, which many
  // programs share with their binary's name (firefox, org.gnome.Totem -> totem does not).
  for (const auto& [id, entry] : entries_)
    if (entry.executable == name) return &entry;
  std::string lowered = lower(name);
  for (const auto& [id, entry] : entries_)
    if (lower(entry.startupWMClass) == lowered || lower(id) == lowered) return &entry;
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
