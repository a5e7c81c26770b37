#pragma once

// A whole program on the simulated audio layer and fakes, on virtual time: Speakers (default,
// with a hardware volume and mute) and Headphones (neither), and the app delegate over them.

#include "app/AppDelegate.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/FakePlatform.h"
#include "support/TempFolder.h"

namespace mixelot::testsupport {

struct AppWorld {
  TempFolder folder;
  ManualMainQueue queue;
  hal::sim::SimAudioSystem sim{queue};
  PreferencesStore preferences{folder.path(), queue};
  FakeWorkspace workspace;
  FakeProcessInfo processInfo;
  FakePermissionService permission;
  FakeLoginItem loginItem;
  hal::ObjectID speakers = sim.addDevice({.uid = "speakers",
                                          .name = "Speakers",
                                          .transport = hal::transport::kUSB,
                                          .volumeScalars = {{0, 0.8f}},
                                          .mute = 0u});
  hal::ObjectID headphones = sim.addDevice({.uid = "headphones",
                                            .name = "Headphones",
                                            .transport = hal::transport::kBluetooth,
                                            .mute = std::nullopt});

  AppWorld() {
    sim.setDefaultOutputDevice(speakers);
    queue.runUntilIdle();
    permission.status = AudioPermissionStatus::authorized;
    loginItem.current = LoginItem::Status::kEnabled;
  }

  controls::GlobalShortcutService* shortcuts = nullptr;  // none: the program has no hotkeys
  controls::WindowActivator* windows = nullptr;          // none: no focused window either

  PlatformServices services() {
    return {sim,        queue,     preferences, workspace, processInfo,
            permission, loginItem, shortcuts,   windows};
  }

  // The program launched over this world, as main() launches it but without signal handlers.
  std::unique_ptr<AppDelegate> launch(InterfaceHooks hooks = {}) {
    auto delegate = std::make_unique<AppDelegate>(services(), std::move(hooks));
    delegate->installSignalHandlers = false;
    delegate->applicationDidFinishLaunching();
    return delegate;
  }

  // An application bundle playing from one process.
  hal::ObjectID play(pid_t pid, const std::string& id, const std::string& name) {
    workspace.applications.push_back(
        {.pid = pid, .bundleIdentifier = id, .isApplicationBundle = true, .localizedName = name});
    return sim.addProcess(pid, id, true);
  }
};

}  // namespace mixelot::testsupport
