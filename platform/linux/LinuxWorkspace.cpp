#include "platform/linux/LinuxWorkspace.h"

#include <gio/gdesktopappinfo.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "platform/linux/ProcFs.h"

namespace mixelot {
namespace {

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Programs that run someone else's code: the application is the script they were given.
bool isInterpreter(const std::string& name) {
  static constexpr std::array<std::string_view, 9> kInterpreters = {
      "sh", "bash", "dash", "zsh", "env", "perl", "node", "ruby", "python"};
  for (auto interpreter : kInterpreters)
    if (name == interpreter) return true;
  return name.starts_with("python");
}

std::string cgroupOf(pid_t pid) {
  return procfs::readProcessFile(pid, "cgroup").value_or(std::string());
}

// The entry of the process's program: for a script, the script rather than its interpreter.
const DesktopEntry* programEntry(pid_t pid, const DesktopEntryIndex& entries) {
  auto exe = procfs::executable(pid);
  if (!exe) return nullptr;
  if (!isInterpreter(baseName(*exe))) return entries.matchExecutable(*exe);
  // "/bin/sh /opt/app/run.sh ..." or "/usr/bin/env python3 app.py": the first argument that is
  // not an option or another interpreter names the application.
  auto arguments = procfs::commandLine(pid);
  for (size_t i = 1; i < arguments.size(); ++i) {
    const auto& argument = arguments[i];
    if (argument.empty() || argument.front() == '-' || isInterpreter(baseName(argument))) continue;
    return entries.matchExecutable(argument);
  }
  return nullptr;
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(DesktopEntryIndex index) : index_(std::move(index)) {}
LinuxWorkspace::LinuxWorkspace(std::vector<std::string> dataDirs)
    : dataDirs_(std::move(dataDirs)),
      // Watching first: an entry written while the folders are read is seen at the next look-up.
      watcher_(std::make_unique<DesktopEntryWatcher>(dataDirs_)) {
  index_ = DesktopEntryIndex::load(dataDirs_);
}
LinuxWorkspace::LinuxWorkspace() : LinuxWorkspace(DesktopEntryIndex::defaultDataDirs()) {}

const DesktopEntryIndex& LinuxWorkspace::index() const {
  if (watcher_ && watcher_->takeChanged()) {
    index_ = DesktopEntryIndex::load(dataDirs_);
    known_.clear();
    ++indexGeneration_;
  }
  return index_;
}

const DesktopEntry* LinuxWorkspace::entryForProcess(pid_t pid) const {
  const DesktopEntryIndex& entries = index();
  if (auto flatpak = procfs::flatpakAppId(pid))
    if (const auto* entry = entries.byId(*flatpak)) return entry;
  const DesktopEntry* scope = nullptr;
  const std::string cgroup = cgroupOf(pid);
  if (auto scopeId = appIdFromCgroup(cgroup)) scope = entries.byId(*scopeId);
  if (scope && !scope->hostsOtherPrograms()) return scope;
  // A terminal's or a launcher's scope holds everything started from it: a program there with
  // an entry of its own is that program, the process the desktop started (whose parent is
  // outside the scope) is the terminal or launcher, and the rest (a shell, a tool, a game) are
  // programs of their own.
  if (const DesktopEntry* program = programEntry(pid, entries)) return program;
  if (!scope) return nullptr;
  auto parent = procfs::parentPid(pid);
  return parent && cgroupOf(*parent) == cgroup ? nullptr : scope;
}

std::optional<RunningApplication> LinuxWorkspace::runningApplication(pid_t pid) const {
  const DesktopEntry* entry = entryForProcess(pid);
  if (!entry) return std::nullopt;
  RunningApplication app;
  app.pid = pid;
  app.bundleIdentifier = entry->id;
  app.isApplicationBundle = true;
  if (!entry->name.empty()) app.localizedName = entry->name;
  if (!entry->icon.empty()) app.iconName = entry->icon;
  app.hostsOtherPrograms = entry->hostsOtherPrograms();
  return app;
}

std::optional<RunningApplication> LinuxWorkspace::installedApplicationNamed(const std::string& name,
                                                                            pid_t pid) const {
  const DesktopEntry* entry = index().matchName(name);
  if (!entry) return std::nullopt;
  RunningApplication app;
  app.pid = pid;
  app.bundleIdentifier = entry->id;
  app.isApplicationBundle = true;
  app.localizedName = entry->name;
  if (!entry->icon.empty()) app.iconName = entry->icon;
  app.hostsOtherPrograms = entry->hostsOtherPrograms();
  return app;
}

std::vector<RunningApplication> LinuxWorkspace::runningApplications() const {
  // A process just started may not be in its scope yet (the desktop moves it there after the
  // fork) or may be about to exec its real program: its answer is kept only once it has run a
  // while.
  const uint64_t now = procfs::ticksSinceBoot().value_or(0);
  const uint64_t settled = settledSeconds_ * static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
  index();  // reindexes (and forgets what was known) before anything is looked up
  const uint64_t generation = indexGeneration_;
  std::unordered_map<pid_t, KnownProcess> seen;
  std::vector<RunningApplication> apps;
  for (pid_t pid : procfs::allPids()) {
    if (!procfs::isOurs(pid)) continue;
    auto stamp = procfs::stamp(pid);
    if (!stamp) continue;
    std::optional<RunningApplication> app;
    if (auto known = known_.find(pid); known != known_.end() && known->second.stamp == *stamp)
      app = std::move(known->second.application);
    else
      app = runningApplication(pid);
    if (now > stamp->startTime + settled) seen.emplace(pid, KnownProcess{*stamp, app});
    if (app) apps.push_back(std::move(*app));
  }
  // Entries indexed again in the middle of the scan: what it found before that is kept nowhere.
  if (generation == indexGeneration_) known_ = std::move(seen);
  return apps;
}

bool LinuxWorkspace::activate(pid_t pid) {
  const DesktopEntry* entry = entryForProcess(pid);
  if (!entry) return false;
  // Only D-Bus activatable applications are raised by launching them again; for others a launch
  // would start a second instance, which is worse than doing nothing.
  std::unique_ptr<GDesktopAppInfo, decltype(&g_object_unref)> info(
      g_desktop_app_info_new((entry->id + ".desktop").c_str()), &g_object_unref);
  if (!info || !g_desktop_app_info_get_boolean(info.get(), "DBusActivatable")) return false;
  return g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, nullptr);
}

std::optional<std::string> LinuxWorkspace::installedApplicationName(
    const std::string& bundleIdentifier) const {
  const DesktopEntry* entry = index_.byId(bundleIdentifier);
  if (!entry || entry->name.empty()) return std::nullopt;
  return entry->name;
}

}  // namespace mixelot
