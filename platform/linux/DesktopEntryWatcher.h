#pragma once

#include <string>
#include <vector>

typedef struct _GFileMonitor GFileMonitor;

namespace mixelot {

// Watches the `applications` folders of the XDG data folders (and their subfolders) with GIO's
// file monitors, so that an application installed or removed while we run is known from the next
// look-up on. A data folder whose `applications` folder does not exist yet (a fresh
// ~/.local/share) is watched for its creation.
//
// Main thread only. The monitors report through the thread's default GLib main context, which
// Qt's event loop iterates on Linux.
class DesktopEntryWatcher {
 public:
  explicit DesktopEntryWatcher(std::vector<std::string> dataDirs);
  ~DesktopEntryWatcher();
  DesktopEntryWatcher(const DesktopEntryWatcher&) = delete;
  DesktopEntryWatcher& operator=(const DesktopEntryWatcher&) = delete;

  // Whether a desktop entry may have changed since the last call. A true answer also watches
  // the folders made since.
  bool takeChanged();

 private:
  void watch();
  void unwatch();
  void add(const std::string& folder, bool onlyApplications);

  std::vector<std::string> dataDirs_;
  struct Monitor {
    GFileMonitor* monitor;
    unsigned long handler;
  };
  std::vector<Monitor> monitors_;
  bool changed_ = false;
};

}  // namespace mixelot
