#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/AudioRecordingPermission.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "model/PerAppAudioManager.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "support/FakePermissionService.h"
#include "support/FakeProcessInfo.h"
#include "support/FakeWorkspace.h"
#include "support/TempFolder.h"

namespace mixelot::testing {

using hal::sim::SimAudioSystem;

using testsupport::FakePermissionService;
using testsupport::FakeProcessInfo;
using testsupport::FakeWorkspace;

// A machine with two output devices (A the default), an engine with the capture permission, a
// fresh preferences folder, and the manager made on demand so each test can prepare the store and
// the running processes first. Time is virtual.
class ModelTest : public ::testing::Test {
 protected:
  ModelTest() {
    deviceA = sim.addDevice({.uid = "A", .name = "Speakers"});
    deviceB = sim.addDevice({.uid = "B", .name = "Headphones"});
    sim.setDefaultOutputDevice(deviceA);
    engine.setPermissionGranted(true);
    queue.runUntilIdle();
  }

  void makeManager(bool withEngine = true, AudioRecordingPermission* permission = nullptr) {
    manager = std::make_unique<PerAppAudioManager>(sim, queue, prefs, workspace, processInfo,
                                                   withEngine ? &engine : nullptr, permission);
  }

  // A running application bundle (one with a desktop entry).
  void runApp(pid_t pid, const std::string& bundleID, const std::string& name,
              bool isBundle = true) {
    workspace.applications.push_back({pid, bundleID, isBundle, name, "icon-" + name});
  }
  // A process object producing output; the list change schedules a pass.
  hal::ObjectID play(pid_t pid, const std::string& bundleID) {
    return sim.addProcess(pid, bundleID);
  }
  void settle() { queue.runUntilIdle(); }
  // The default output device changes, and the engine and the manager hear of it in turn.
  void switchDefaultTo(hal::ObjectID device) {
    sim.setDefaultOutputDevice(device);
    engine.refreshOutputDevice();
    manager->outputDeviceChanged();
    manager->refreshApps();
  }

  std::vector<std::string> ids() const {
    std::vector<std::string> out;
    for (const auto& app : manager->audioApps().get()) out.push_back(app.id);
    return out;
  }
  const AudioApp* app(const std::string& id) const {
    for (const auto& app : manager->audioApps().get())
      if (app.id == id) return &app;
    return nullptr;
  }
  std::vector<std::string> taps(const std::string& id) const {
    auto uids = engine.activeDeviceUIDs(id);
    std::sort(uids.begin(), uids.end());
    return uids;
  }
  std::shared_ptr<AppTapState> tap(const std::string& id, const std::string& uid) const {
    return engine.chain(id, uid);
  }
  float target(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state ? state->targetVolume.load() : -1.0f;
  }
  bool tapMuted(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state && state->isMuted.load();
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
  CapturingLog log;
  testsupport::TempFolder folder;
  PreferencesStore prefs{folder.path(), queue};
  FakeWorkspace workspace;
  FakeProcessInfo processInfo;
  PlaythroughEngine engine{sim, queue};
  std::unique_ptr<PerAppAudioManager> manager;
  hal::ObjectID deviceA = 0, deviceB = 0;
};

}  // namespace mixelot::testing
