#include "app/AppDelegate.h"

#include <fcntl.h>
#include <QCoreApplication>

#include <unistd.h>
#include <cmath>
#include <csignal>

#include "controls/HotkeyManager.h"
#include "controls/KeyCodeTable.h"
#include "controls/WindowActivator.h"
#include "engine/AudioDeviceManager.h"
#include "engine/AudioRecordingPermission.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/PropertyReads.h"
#include "model/PerAppAudioManager.h"
#include "platform/LoginItem.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "ui/AppEvents.h"
#include "ui/MixerViewModel.h"
#include "ui/SettingsViewModel.h"
#include "update/UpdaterController.h"

namespace mixelot {
namespace {

constexpr const char* kAllMuted = "All Muted";
constexpr const char* kRestored = "Restored";
constexpr const char* kNoFocusedApp = "No sound from this window";
// One press of a focused app's volume shortcut.
constexpr float kFocusedVolumeStep = 0.05f;

// SIGTERM and SIGINT end the program at once with status 1, without tearing the chains down
// (our PipeWire objects die with the connection). Settings changed in the last second live only
// in memory, though, so the handler wakes the main loop through a pipe, which saves them first.
int signalPipe[2] = {-1, -1};

extern "C" void exitAtOnce(int) {
  ::_exit(1);
}

extern "C" void onTerminationSignal(int) {
  char byte = 1;
  if (signalPipe[1] < 0 || ::write(signalPipe[1], &byte, 1) != 1) ::_exit(1);
  // A main loop that does not answer within a second must not keep the process alive.
  std::signal(SIGALRM, exitAtOnce);
  ::alarm(1);
}

}  // namespace

AppDelegate::AppDelegate(PlatformServices services, InterfaceHooks hooks, QObject* parent)
    : QObject(parent),
      services_(services),
      hooks_(std::move(hooks)),
      updaterController_(
          std::make_unique<UpdaterController>(services.preferences, services.queue)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  registerDefaults(services_.preferences);
  setupManagers();
  call(hooks_.setupStatusItem);
  call(hooks_.setupPopover);
  setupHotkeys();
  observeHotkeyChanges();
  syncLaunchAtLogin();
  if (installSignalHandlers) installTerminationHandler();
  if (auto* app = QCoreApplication::instance())
    connect(app, &QCoreApplication::aboutToQuit, this, &AppDelegate::handleWillTerminate);
  if (!services_.preferences.boolValue(prefs::kOnboardingShown)) call(hooks_.showOnboarding);
  if (audioPermission_->status() != AudioPermissionStatus::authorized)
    audioPermission_->requestAccess();
  // The installer clean-up: where an installer leaves a mounted disk image behind, it is ejected
  // and trashed here. Packages on Linux leave nothing behind, so by default there is nothing to
  // do; the step keeps its place in the sequence for an installer that would.
  call(hooks_.startInstallerCleanup);
}

void AppDelegate::installTerminationHandler() {
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    signalPipe[0] = signalPipe[1] = -1;
  }
  if (signalPipe[0] >= 0) {
    signalWatch_ = services_.queue.watchReadable(signalPipe[0], [this] {
      services_.preferences.flush();
      ::_exit(1);
    });
  }
  std::signal(SIGTERM, onTerminationSignal);
  std::signal(SIGINT, onTerminationSignal);
}

void AppDelegate::setupManagers() {
  audioDeviceManager_ = std::make_unique<AudioDeviceManager>(services_.hardware);
  audioPermission_ =
      std::make_unique<AudioRecordingPermission>(services_.permissionService, services_.queue);
  playthroughEngine_ = std::make_unique<PlaythroughEngine>(services_.hardware, services_.queue);
  playthroughEngine_->setPermissionGranted(audioPermission_->status() ==
                                           AudioPermissionStatus::authorized);
  perAppAudioManager_ = std::make_unique<PerAppAudioManager>(
      services_.hardware, services_.queue, services_.preferences, services_.workspace,
      services_.processInfo, playthroughEngine_.get(), audioPermission_.get());
  mixerViewModel_ = std::make_unique<MixerViewModel>(*perAppAudioManager_, *audioDeviceManager_,
                                                     services_.preferences, services_.queue);
  mixerViewModel_->setPlaythroughEngine(playthroughEngine_.get());
  mixerViewModel_->setPermission(audioPermission_.get());
  mixerViewModel_->setWorkspace(&services_.workspace);
  mixerViewModel_->setWindowActivator(services_.windowActivator);
  settingsViewModel_ = std::make_unique<SettingsViewModel>(
      *audioDeviceManager_, services_.preferences, services_.loginItem, services_.workspace);

  std::weak_ptr<int> alive = lifetime_;
  mixerViewModel_->onMuteStateChanged = [this, alive] {
    if (!alive.expired()) updateStatusIcon();
  };
  mixerViewModel_->onOpenSettings = [this, alive] {
    if (!alive.expired()) openSettings();
  };
  audioDeviceManager_->onDefaultDeviceChanged = [this, alive] {
    if (!alive.expired()) handleDefaultDeviceChanged();
  };
}

// Launch step 5: the hotkey manager, and the default shortcuts at the first launch (Alt+Shift+A
// mutes all, Alt+Shift+S shows the mixer). A shortcut the user cleared is seeded again here.
void AppDelegate::setupHotkeys() {
  if (services_.shortcuts) {
    hotkeyManager_ = std::make_unique<controls::HotkeyManager>(
        *services_.shortcuts, services_.preferences, services_.queue);
    std::weak_ptr<int> alive = lifetime_;
    hotkeyManager_->onHotkeyPressed = [this, alive] {
      if (!alive.expired()) toggleMuteAll();
    };
    hotkeyManager_->onShortcutBound = [this, alive](std::uint32_t id, const std::string& text) {
      if (alive.expired()) return;
      if (ShortcutRecorder* recorder = recorderFor(id))
        recorder->setBoundDescription(QString::fromStdString(text));
    };
    hotkeyManager_->onPopoverHotkeyPressed = [this, alive] {
      if (!alive.expired()) togglePopover();
    };
    hotkeyManager_->onFocusedAppHotkeyPressed = [this, alive](std::uint32_t id) {
      if (alive.expired()) return;
      if (id == controls::HotkeyManager::kMuteFocusedHotkeyId)
        toggleMuteFocused();
      else
        changeFocusedVolume(id == controls::HotkeyManager::kFocusedVolumeUpHotkeyId
                                ? kFocusedVolumeStep
                                : -kFocusedVolumeStep);
    };
  }
  // The focused app's shortcuts need a desktop that tells which window has the focus (an X11
  // window manager does; Wayland keeps it from other programs).
  const bool focusKnown =
      services_.windowActivator && services_.windowActivator->tellsFocusedWindow();
  settingsViewModel_->setFocusedAppShortcutsAvailable(focusKnown);
  if (!focusKnown)
    logLine("Focused app shortcuts: off, the desktop does not tell the focused window");
  if (hotkeyManager_) hotkeyManager_->setFocusedAppHotkeysEnabled(focusKnown);
  PreferencesStore& store = services_.preferences;
  constexpr std::int64_t kOptionShift = controls::kModifierOption | controls::kModifierShift;
  if (store.integerValue(prefs::kHotkeyKeyCode) == prefs::kNoHotkey) {
    store.set(prefs::kHotkeyKeyCode, std::int64_t{0});
    store.set(prefs::kHotkeyModifiers, kOptionShift);
    store.set(prefs::kHotkeyKeyChar, std::string("A"));
  }
  if (store.integerValue(prefs::kPopoverHotkeyKeyCode) == prefs::kNoHotkey) {
    store.set(prefs::kPopoverHotkeyKeyCode, std::int64_t{1});
    store.set(prefs::kPopoverHotkeyModifiers, kOptionShift);
    store.set(prefs::kPopoverHotkeyKeyChar, std::string("S"));
  }
  if (hotkeyManager_) {
    hotkeyManager_->registerHotkeys();
    reportShortcutRefusals();
  }
  call(hooks_.setupHotkeys);
}

// The settings window's recorders are in the order of the hotkey ids.
ShortcutRecorder* AppDelegate::recorderFor(std::uint32_t id) {
  auto recorders = settingsViewModel_->shortcuts();
  return id >= 1 && id <= recorders.size() ? recorders[id - 1] : nullptr;
}

// The settings window tells of a shortcut the desktop refused, under its field. One just
// recorded gives way to the shortcut it replaced, which worked (or did at least as well).
void AppDelegate::reportShortcutRefusals() {
  for (std::uint32_t id = 1; id <= controls::HotkeyManager::kHotkeyCount; ++id) {
    ShortcutRecorder* recorder = recorderFor(id);
    if (!hotkeyManager_->isRefused(id))
      recorder->setProblem({});
    else if (recorder->hasUnconfirmedRecording())
      recorder->rejectRecording(
          QStringLiteral("is taken by another program or the desktop; the previous shortcut is "
                         "kept."));
    else
      recorder->setProblem(
          QStringLiteral("is taken by another program: it works only while a Mixelot window "
                         "has the keyboard."));
  }
}

// Launch step 6: the settings window announces new shortcuts; they count at once.
void AppDelegate::observeHotkeyChanges() {
  // (A shortcut cleared while a recorder waits does not bring the grabs back before it is done:
  // the manager is suspended then.)
  connect(&AppEvents::instance(), &AppEvents::hotkeyChanged, this, [this] {
    if (!hotkeyManager_) return;
    hotkeyManager_->registerHotkeys();
    reportShortcutRefusals();
  });
  // While a recorder of the settings window waits for a key, our shortcuts step aside: the
  // current keys are then recorded (again) instead of muting everything or hiding the mixer.
  auto recordingChanged = [this] {
    if (!hotkeyManager_) return;
    bool recording = false;
    for (ShortcutRecorder* recorder : settingsViewModel_->shortcuts())
      recording = recording || recorder->recording();
    hotkeyManager_->setSuspended(recording);
  };
  for (ShortcutRecorder* recorder : settingsViewModel_->shortcuts())
    connect(recorder, &ShortcutRecorder::recordingChanged, this, recordingChanged);
  call(hooks_.observeHotkeyChanges);
}

void AppDelegate::syncLaunchAtLogin() {
  bool wanted = services_.preferences.boolValue(prefs::kLaunchAtLogin);
  bool enabled = services_.loginItem.status() == LoginItem::Status::kEnabled;
  if (wanted == enabled) return;
  std::string error;
  bool ok =
      wanted ? services_.loginItem.registerItem(error) : services_.loginItem.unregisterItem(error);
  if (!ok) {
    logLine("Login item could not be " + std::string(wanted ? "registered" : "unregistered") +
            ": " + error);
    services_.preferences.set(prefs::kLaunchAtLogin, enabled);
    // The settings model was made (launch step 2) before this brought the preference to the
    // state in force; left alone, its toggle would show the wish that just failed.
    settingsViewModel_->reloadLaunchAtLogin();
  }
}

void AppDelegate::handleDefaultDeviceChanged() {
  if (terminated_) return;
  playthroughEngine_->refreshOutputDevice();
  perAppAudioManager_->outputDeviceChanged();
  perAppAudioManager_->refreshApps();
  mixerViewModel_->refresh();
  updateStatusIcon();
}

void AppDelegate::handleWillTerminate() {
  if (terminated_ || !perAppAudioManager_) return;
  terminated_ = true;
  perAppAudioManager_->stopMonitoring();
  playthroughEngine_->stopAll();
  services_.preferences.flush();
}

std::string AppDelegate::defaultDeviceUID() {
  hal::ObjectID device = audioDeviceManager_->defaultOutputDeviceID();
  if (device == hal::kUnknownObject) return {};
  return hal::readString(services_.hardware, device, {hal::selector::kDeviceUID}).value_or("");
}

void AppDelegate::updateStatusIcon() {
  call(hooks_.updateStatusIcon);
}

void AppDelegate::togglePopover() {
  if (!hooks_.togglePanel) return;
  bool shown = hooks_.togglePanel();
  if (shown) {
    // Showing the panel makes the program active: the permission may have changed meanwhile.
    audioPermission_->applicationDidBecomeActive();
    mixerViewModel_->startRefreshing();
  } else {
    mixerViewModel_->stopRefreshTimer();
    updateStatusIcon();
  }
}

void AppDelegate::openSettings() {
  // The panel is on screen exactly while its model refreshes.
  if (mixerViewModel_->isRefreshing()) togglePopover();
  call(hooks_.showSettings);
}

void AppDelegate::completeOnboarding() {
  services_.preferences.set(prefs::kOnboardingShown, true);
  call(hooks_.closeOnboarding);
}

void AppDelegate::toggleMuteAll() {
  mixerViewModel_->refresh();
  if (!mixerViewModel_->systemMuted()) {
    if (!mixerViewModel_->muteAll()) {
      updateStatusIcon();
      return;
    }
    if (hooks_.showOverlay) hooks_.showOverlay(kAllMuted);
  } else {
    perAppAudioManager_->unmuteAll();
    audioDeviceManager_->setMuted(false);
    mixerViewModel_->refresh();
    if (hooks_.showOverlay) hooks_.showOverlay(kRestored);
  }
  updateStatusIcon();
}

std::optional<std::string> AppDelegate::focusedApp() {
  controls::WindowActivator* windows = services_.windowActivator;
  if (!windows || !windows->tellsFocusedWindow()) return std::nullopt;
  std::optional<std::string> id;
  if (auto pid = windows->focusedProcess()) id = perAppAudioManager_->appOfProcess(*pid);
  // Told rather than nothing happening: the key did reach us.
  if (!id && hooks_.showOverlay) hooks_.showOverlay(kNoFocusedApp);
  return id;
}

void AppDelegate::showFocusedAppState(const std::string& id, bool muteToggled) {
  mixerViewModel_->refresh();
  updateStatusIcon();
  if (!hooks_.showOverlay) return;
  for (const AudioApp& app : perAppAudioManager_->audioApps().get()) {
    if (app.id != id) continue;
    if (app.isMuted)
      hooks_.showOverlay(app.name + " muted");
    else if (muteToggled)
      hooks_.showOverlay(app.name + " unmuted");
    else
      hooks_.showOverlay(app.name + " " + std::to_string(std::lround(app.currentVolume * 100.0f)) +
                         " %");
  }
}

void AppDelegate::toggleMuteFocused() {
  if (auto id = focusedApp()) {
    perAppAudioManager_->toggleMute(*id);
    showFocusedAppState(*id, true);
  }
}

void AppDelegate::changeFocusedVolume(float delta) {
  if (std::isnan(delta)) return;
  if (auto id = focusedApp()) {
    perAppAudioManager_->stepVolume(*id, delta);
    showFocusedAppState(*id, false);
  }
}

}  // namespace mixelot
