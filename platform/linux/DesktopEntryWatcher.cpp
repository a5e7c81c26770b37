#include "platform/linux/DesktopEntryWatcher.h"

#include <gio/gio.h>

#include <filesystem>
#include <memory>

namespace mixelot {
namespace {

namespace fs = std::filesystem;

// What a monitor tells its callback: the watcher to flag, and whether the folder is a data
// folder, where only the creation of `applications` matters.
struct Watch {
  bool* changed;
  bool onlyApplications;
};

void onChanged(GFileMonitor*, GFile* file, GFile*, GFileMonitorEvent event, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  if (event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED) return;
  if (watch->onlyApplications) {
    std::unique_ptr<char, decltype(&g_free)> name(g_file_get_basename(file), &g_free);
    if (!name || std::string_view(name.get()) != "applications") return;
  }
  *watch->changed = true;
}

}  // namespace

DesktopEntryWatcher::DesktopEntryWatcher(std::vector<std::string> dataDirs)
    : dataDirs_(std::move(dataDirs)) {
  watch();
}

DesktopEntryWatcher::~DesktopEntryWatcher() {
  unwatch();
}

bool DesktopEntryWatcher::takeChanged() {
  if (!changed_) return false;
  changed_ = false;
  unwatch();
  watch();
  return true;
}

void DesktopEntryWatcher::add(const std::string& folder, bool onlyApplications) {
  std::unique_ptr<GFile, decltype(&g_object_unref)> file(g_file_new_for_path(folder.c_str()),
                                                         &g_object_unref);
  GFileMonitor* monitor =
      g_file_monitor_directory(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  if (!monitor) return;
  // The watch lives as long as the signal connection: freed when the handler is disconnected.
  gulong handler = g_signal_connect_data(
      monitor, "changed", G_CALLBACK(onChanged), new Watch{&changed_, onlyApplications},
      [](gpointer data, GClosure*) { delete static_cast<Watch*>(data); }, GConnectFlags{});
  monitors_.push_back({monitor, handler});
}

void DesktopEntryWatcher::watch() {
  for (const auto& dir : dataDirs_) {
    std::error_code error;
    fs::path applications = fs::path(dir) / "applications";
    if (!fs::is_directory(applications, error)) {
      if (fs::is_directory(dir, error)) add(dir, true);
      continue;
    }
    add(applications.string(), false);
    for (fs::recursive_directory_iterator it(applications, error), end; it != end;
         it.increment(error)) {
      if (error) break;
      if (it->is_directory(error)) add(it->path().string(), false);
    }
  }
}

void DesktopEntryWatcher::unwatch() {
  for (auto [monitor, handler] : monitors_) {
    g_file_monitor_cancel(monitor);
    g_signal_handler_disconnect(monitor, handler);
    g_object_unref(monitor);
  }
  monitors_.clear();
}

}  // namespace mixelot
