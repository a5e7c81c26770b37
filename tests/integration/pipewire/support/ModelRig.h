#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/AudioDeviceManager.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "model/DiscoveryRules.h"
#include "model/PerAppAudioManager.h"
#include "platform/PollMainQueue.h"
#include "platform/PreferencesStore.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/TempFolder.h"

namespace mixelot::testsupport {

// The program's audio stack on the PipeWire backend, wired as the application delegate wires it
// (the default-device change included), on a real-time main queue. Make it after the tone apps
// have started: the workspace reads their desktop entries once, when it is made.
struct ModelRig {
  ModelRig()
      : preferences(prefsFolder.path(), queue),
        hardware(queue, {.desktopEntryForProcess = [this](pid_t pid) -> std::optional<std::string> {
                           const DesktopEntry* entry = workspace.entryForProcess(pid);
                           return entry ? std::optional(entry->id) : std::nullopt;
                         },
                         .applicationOfProcess =
                             [this](pid_t pid) {
                               return owningApplicationID(pid, workspace, processInfo);
                             }}),
        engine(hardware, queue),
        devices(hardware) {
    engine.setPermissionGranted(true);
    apps = std::make_unique<PerAppAudioManager>(hardware, queue, preferences, workspace,
                                                processInfo, &engine, nullptr);
    devices.onDefaultDeviceChanged = [this] {
      engine.refreshOutputDevice();
      apps->outputDeviceChanged();
      apps->refreshApps();
    };
  }
  ~ModelRig() {
    // As at a normal quit.
    apps->stopMonitoring();
    engine.stopAll();
    apps.reset();
  }

  const AudioApp* app(const std::string& id) const {
    for (const auto& candidate : apps->audioApps().get())
      if (candidate.id == id) return &candidate;
    return nullptr;
  }

  PollMainQueue queue;
  TempFolder prefsFolder;
  PreferencesStore preferences;
  LinuxWorkspace workspace;
  LinuxProcessInfo processInfo;
  hal::pipewire::PipeWireAudioHardware hardware;
  PlaythroughEngine engine;
  AudioDeviceManager devices;
  std::unique_ptr<PerAppAudioManager> apps;
};

}  // namespace mixelot::testsupport
