#pragma once

// What the settings and introduction models run on in tests: a simulated audio system, a store
// with the registered defaults in a temporary folder, and fake login item and workspace.
#include "engine/AudioDeviceManager.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "support/FakeLoginItem.h"
#include "support/FakeWorkspace.h"
#include "support/TempFolder.h"

namespace mixelot::testsupport {

struct SettingsWorld {
  TempFolder folder;
  ManualMainQueue queue;
  hal::sim::SimAudioSystem sim{queue};
  AudioDeviceManager devices{sim};
  PreferencesStore store{folder.path(), queue};
  FakeLoginItem loginItem;
  FakeWorkspace workspace;
  SettingsWorld() { registerDefaults(store); }
};

}  // namespace mixelot::testsupport
