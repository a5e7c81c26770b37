#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/MainQueue.h"

namespace mixelot {

class AudioDeviceManager;
class AudioRecordingPermission;
class LoginItem;
class MixerViewModel;
class PerAppAudioManager;
class PermissionService;
class PlaythroughEngine;
class PreferencesStore;
class ProcessInfo;
class SettingsViewModel;
class ShortcutRecorder;
class UpdaterController;
class Workspace;
namespace hal {
class AudioHardware;
}
namespace controls {
class GlobalShortcutService;
class HotkeyManager;
class WindowActivator;
}  // namespace controls

// The operating-system services the program runs on: the Linux ones in the program, the
// simulated audio layer and fakes in tests.
struct PlatformServices {
  hal::AudioHardware& hardware;
  MainQueue& queue;
  PreferencesStore& preferences;
  Workspace& workspace;
  ProcessInfo& processInfo;
  PermissionService& permissionService;
  LoginItem& loginItem;
  // The desktop's global shortcuts; without one the program has no hotkeys.
  controls::GlobalShortcutService* shortcuts = nullptr;
  // What raises another app's window; without one only the workspace's activation is tried.
  controls::WindowActivator* windowActivator = nullptr;
};

// What the interface adds to the launch and to the hotkey actions: the tray icon, the panel,
// the hotkeys, the first-run window and the overlay. Empty hooks do nothing, so the program
// runs headless with all of its audio work.
struct InterfaceHooks {
  std::function<void()> setupStatusItem;
  std::function<void()> setupPopover;
  std::function<void()> setupHotkeys;
  std::function<void()> observeHotkeyChanges;
  std::function<void()> showOnboarding;
  // Closes the first-run window and forgets it (after completeOnboarding stored the preference).
  std::function<void()> closeOnboarding;
  // Builds the settings window at its first opening, then shows it again and raises it.
  std::function<void()> showSettings;
  std::function<void()> updateStatusIcon;
  // Shows or hides the panel; returns whether it is shown now.
  std::function<bool()> togglePanel;
  std::function<void(const std::string& message)> showOverlay;
  // Launch step 12: housekeeping left over by an installer.
  std::function<void()> startInstallerCleanup;
};

// Creates every long-lived object once, wires them together, runs the launch sequence, reacts to
// a change of the default output device and tears the audio work down at a normal quit.
// Main thread only.
class AppDelegate final : public QObject {
  Q_OBJECT

 public:
  AppDelegate(PlatformServices services, InterfaceHooks hooks = {}, QObject* parent = nullptr);
  ~AppDelegate() override;

  // The launch sequence.
  void applicationDidFinishLaunching();
  // The default output device changed: rebuild every chain on the new device.
  void handleDefaultDeviceChanged();
  // A normal quit: stop monitoring, then destroy every chain.
  void handleWillTerminate();

  // The mute-all action (hotkey, tray menu, D-Bus): mutes every app and the output device, or
  // restores them when the output is muted already.
  void toggleMuteAll();
  // The focused app's actions (hotkeys, D-Bus): mute or unmute the listed app that owns the
  // focused window, or move its volume by `delta` (0...1 units); the overlay tells the outcome.
  // Nothing happens where the desktop does not tell the focused window.
  void toggleMuteFocused();
  void changeFocusedVolume(float delta);
  // The show/hide action; does nothing without an interface.
  void togglePopover();
  // The panel's gear, the tray menu and the bus: the panel closes, the one settings window
  // comes to the front.
  void openSettings();
  // The first-run window's last button: onboarding is done, its window goes.
  void completeOnboarding();

  // The default output device's UID; empty when there is none.
  std::string defaultDeviceUID();

  // Whether SIGTERM/SIGINT end the process at once (off in tests).
  bool installSignalHandlers = true;

  AudioDeviceManager* audioDeviceManager() const { return audioDeviceManager_.get(); }
  AudioRecordingPermission* audioPermission() const { return audioPermission_.get(); }
  PlaythroughEngine* playthroughEngine() const { return playthroughEngine_.get(); }
  PerAppAudioManager* perAppAudioManager() const { return perAppAudioManager_.get(); }
  MixerViewModel* mixerViewModel() const { return mixerViewModel_.get(); }
  SettingsViewModel* settingsViewModel() const { return settingsViewModel_.get(); }
  // Exists from construction on, before the launch sequence runs.
  UpdaterController* updaterController() const { return updaterController_.get(); }
  controls::HotkeyManager* hotkeyManager() const { return hotkeyManager_.get(); }

 private:
  void setupManagers();
  void setupHotkeys();
  void observeHotkeyChanges();
  void reportShortcutRefusals();
  ShortcutRecorder* recorderFor(std::uint32_t id);
  // The listed app whose window has the focus; tells the user by the overlay when there is none.
  std::optional<std::string> focusedApp();
  // The overlay for the app after an action: muted, unmuted (after a mute toggle) or its volume.
  void showFocusedAppState(const std::string& id, bool muteToggled);
  void syncLaunchAtLogin();
  void installTerminationHandler();
  void updateStatusIcon();
  static void call(const std::function<void()>& hook) {
    if (hook) hook();
  }

  PlatformServices services_;
  InterfaceHooks hooks_;
  std::unique_ptr<UpdaterController> updaterController_;
  // Member order is teardown order reversed: the view models go first, the device manager last.
  std::unique_ptr<AudioDeviceManager> audioDeviceManager_;
  std::unique_ptr<AudioRecordingPermission> audioPermission_;
  std::unique_ptr<PlaythroughEngine> playthroughEngine_;
  std::unique_ptr<PerAppAudioManager> perAppAudioManager_;
  std::unique_ptr<controls::HotkeyManager> hotkeyManager_;
  std::unique_ptr<MixerViewModel> mixerViewModel_;
  std::unique_ptr<SettingsViewModel> settingsViewModel_;
  bool terminated_ = false;
  Timer signalWatch_;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot
