// One discovery pass over 10 to 10,000 process objects on the simulated audio layer, in the
// steady state that runs every 3 s: every app listed already and holding its chain. The objects
// mix what a real system shows: apps with several processes, children and helpers folded into
// their app, and silent, system, hidden and never-listed processes.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/PlaythroughEngine.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "model/PerAppAudioManager.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemLog.h"
#include "platform/Workspace.h"

namespace mixelot {
namespace {

class BenchWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> runningApplications() const override { return apps; }
  std::optional<RunningApplication> runningApplication(pid_t) const override {
    return std::nullopt;
  }
  bool activate(pid_t) override { return false; }
  std::vector<RunningApplication> apps;
};

class BenchProcessInfo final : public ProcessInfo {
 public:
  pid_t currentProcessId() const override { return 1; }
  std::optional<pid_t> parentProcessId(pid_t pid) const override {
    auto it = parents.find(pid);
    if (it == parents.end()) return std::nullopt;
    return it->second;
  }
  std::unordered_map<pid_t, pid_t> parents;  // O(1), like a read of /proc/PID/stat
};

class Lines final : public SystemLog {
 public:
  void write(std::string_view) override {}
};

// Milliseconds of one steady-state pass over `objects` process objects (the fastest of several).
double measure(int objects) {
  ManualMainQueue queue;
  hal::sim::SimAudioSystem sim(queue);
  sim.setDefaultOutputDevice(sim.addDevice({.uid = "speakers", .name = "Speakers"}));
  BenchWorkspace workspace;
  BenchProcessInfo processInfo;

  std::string folder = (std::filesystem::temp_directory_path() / "mixelot-bench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) return -1;
  double result = 0;
  {
    PreferencesStore preferences(folder, queue);
    preferences.registerDefaults(
        {{"hiddenApps", PreferenceArray{"org.bench.hidden0", "org.bench.hidden1"}}});
    // Ten objects a block: one app's two processes, its child and grandchild (the grandchild
    // reported as a non-bundle application), a helper by the dot rule, a helper by the table, a
    // silent process, a system process, a hidden app and a never-listed app.
    workspace.apps.push_back({9, "com.google.Chrome", true, "Chrome", std::nullopt});
    pid_t pid = 10;
    for (int block = 0; block * 10 < objects; ++block) {
      const std::string app = "org.bench.app" + std::to_string(block);
      const pid_t appPID = pid++;
      workspace.apps.push_back({appPID, app, true, "App " + std::to_string(block), "icon"});
      const pid_t child = pid++, grandchild = pid++;
      processInfo.parents[child] = appPID;
      processInfo.parents[grandchild] = child;
      workspace.apps.push_back({grandchild, app + ".tool", false, "Tool", std::nullopt});
      std::vector<std::pair<pid_t, std::string>> processes = {
          {appPID, app},
          {appPID, app},
          {child, ""},
          {grandchild, app + ".tool"},
          {pid++, app + ".renderer"},
          {pid++, "com.google.Chrome.helper.gpu"},
          {pid++, "org.bench.silent"},
          {pid++, "com.apple.audio.bench"},
          {pid++, "org.bench.hidden" + std::to_string(block % 2)},
          {pid++, "com.apple.finder"},
      };
      for (size_t i = 0; i < processes.size() && block * 10 + static_cast<int>(i) < objects; ++i) {
        const auto& [processPID, bundleID] = processes[i];
        if (bundleID.starts_with("org.bench.hidden") || bundleID == "com.apple.finder")
          workspace.apps.push_back({processPID, bundleID, true, bundleID, std::nullopt});
        sim.addProcess(processPID, bundleID, bundleID != "org.bench.silent");
      }
    }
    queue.runUntilIdle();

    PlaythroughEngine engine(sim, queue);
    engine.setPermissionGranted(true);
    // The first pass lists every app and builds its chain; the ones measured find them in place.
    PerAppAudioManager manager(sim, queue, preferences, workspace, processInfo, &engine, nullptr);
    queue.runUntilIdle();

    const int runs = objects >= 10000 ? 41 : 201;
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
      auto start = std::chrono::steady_clock::now();
      manager.refreshApps();
      auto end = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    result = times.front();  // the least disturbed run: the machine is shared
    manager.stopMonitoring();
    engine.stopAll();
  }
  std::filesystem::remove_all(folder);
  return result;
}

}  // namespace
}  // namespace mixelot

// Measures in a child process, so that each size starts from a fresh heap rather than one the
// larger worlds before it have fragmented.
double isolated(int objects) {
  int fds[2];
  if (::pipe(fds) != 0) return mixelot::measure(objects);
  pid_t child = ::fork();
  if (child == 0) {
    double ms = mixelot::measure(objects);
    ssize_t written = ::write(fds[1], &ms, sizeof ms);
    ::_exit(written == sizeof ms ? 0 : 1);
  }
  ::close(fds[1]);
  double ms = -1;
  if (::read(fds[0], &ms, sizeof ms) != sizeof ms) ms = -1;
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  return ms;
}

int main(int argc, char** argv) {
  mixelot::Lines quiet;
  mixelot::setSystemLog(&quiet);
  // An argument measures that one size only (for profiling).
  if (argc > 1) {
    int objects = std::atoi(argv[1]);
    std::printf("BENCH discovery.pass_%d %.4f ms\n", objects, mixelot::measure(objects));
    return 0;
  }
  std::map<int, double> ms;
  for (int objects : {10, 100, 1000, 10000}) {
    ms[objects] = isolated(objects);
    std::printf("BENCH discovery.pass_%d %.4f ms\n", objects, ms[objects]);
  }
  const double ratio = (ms[10000] / 10000) / (ms[100] / 100);
  std::printf("BENCH discovery.per_object_10000_vs_100 %.2f ratio\n", ratio);
  mixelot::setSystemLog(nullptr);
  return 0;
}
