// The mute-all controls: the hotkeys (with the key table they are stored by) and the overlay.
#include "controls/HotkeyManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "controls/KeyCodeTable.h"
#include "controls/OverlayManager.h"
#include "platform/ManualMainQueue.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"

namespace mixelot::controls {
namespace {

// Keeps what is registered now.
struct FakeShortcutService final : GlobalShortcutService {
  std::string_view name() const override { return "fake"; }
  bool registerShortcut(const GlobalShortcut& shortcut) override {
    if (!refuse) registered[shortcut.id] = shortcut;
    return !refuse;
  }
  void unregisterShortcut(std::uint32_t id) override { registered.erase(id); }

  bool rebindsQuietly() const override { return quiet; }

  std::map<std::uint32_t, GlobalShortcut> registered;
  bool refuse = false;
  bool quiet = true;
};

struct HotkeyFixture : ::testing::Test {
  testsupport::TempFolder folder;
  ManualMainQueue queue;
  PreferencesStore preferences{folder.path(), queue};
  FakeShortcutService service;
  HotkeyManager manager{service, preferences, queue};
  int muteAll = 0;
  int popover = 0;

  HotkeyFixture() {
    registerDefaults(preferences);
    manager.onHotkeyPressed = [this] { ++muteAll; };
    manager.onPopoverHotkeyPressed = [this] { ++popover; };
  }
  void store(std::int64_t keyCode, std::int64_t modifiers, std::int64_t popoverKeyCode,
             std::int64_t popoverModifiers) {
    preferences.set(prefs::kHotkeyKeyCode, keyCode);
    preferences.set(prefs::kHotkeyModifiers, modifiers);
    preferences.set(prefs::kPopoverHotkeyKeyCode, popoverKeyCode);
    preferences.set(prefs::kPopoverHotkeyModifiers, popoverModifiers);
  }
};

TEST_F(HotkeyFixture, RegistersFromThePreferencesOncePerShortcutAndNoneDisablesItsOwn) {
  // Caps lock, function and keypad bits never take part in a registration.
  store(0, 0x1E0000, 40, kModifierControl | kModifierCapsLock | kModifierNumericPad | 0x800000);
  manager.registerHotkeys();
  manager.registerHotkeys();  // unchanged preferences, as after a "hotkey changed" notice
  ASSERT_EQ(service.registered.size(), 2u);
  const GlobalShortcut& muteAllKey = service.registered.at(HotkeyManager::kMuteAllHotkeyId);
  EXPECT_EQ(muteAllKey.evdev, 30);  // A
  EXPECT_EQ(muteAllKey.keysym, "a");
  EXPECT_EQ(muteAllKey.modifiers,
            modifier::kShift | modifier::kControl | modifier::kAlt | modifier::kSuper);
  const GlobalShortcut& popoverKey = service.registered.at(HotkeyManager::kPopoverHotkeyId);
  EXPECT_EQ(popoverKey.evdev, 37);  // K
  EXPECT_EQ(popoverKey.modifiers, modifier::kControl);
  EXPECT_TRUE(manager.hasLocalMonitor());

  // A changed key replaces the old one.
  store(1, 0xA0000, 40, kModifierControl);
  manager.registerHotkeys();
  EXPECT_EQ(service.registered.size(), 2u);
  EXPECT_EQ(service.registered.at(HotkeyManager::kMuteAllHotkeyId).evdev, 31);  // S

  manager.unregisterHotkeys();
  EXPECT_TRUE(service.registered.empty());
  EXPECT_FALSE(manager.hasLocalMonitor());

  // None disables only its own shortcut; keys outside the stored range, or without a key on this
  // system, have none either, while the local monitor stays.
  store(prefs::kNoHotkey, 0, 1, 0xA0000);
  manager.registerHotkeys();
  ASSERT_EQ(service.registered.size(), 1u);
  EXPECT_TRUE(service.registered.count(HotkeyManager::kPopoverHotkeyId));
  store(0x10000, 0, 52, 0);
  manager.registerHotkeys();
  EXPECT_TRUE(service.registered.empty());
  EXPECT_TRUE(manager.hasLocalMonitor());
}

TEST_F(HotkeyFixture, PressesReachTheActionsFromTheMainQueueOnly) {
  store(0, 0xA0000, 1, 0xA0000);
  manager.registerHotkeys();
  service.onPressed(HotkeyManager::kMuteAllHotkeyId);
  service.onPressed(HotkeyManager::kPopoverHotkeyId);
  service.onPressed(7);  // an id we never gave out
  EXPECT_EQ(muteAll + popover, 0);
  queue.runUntilIdle();
  EXPECT_EQ(muteAll, 1);
  EXPECT_EQ(popover, 1);

  // A press still queued when the manager goes is dropped.
  auto other = std::make_unique<HotkeyManager>(service, preferences, queue);
  other->onHotkeyPressed = [this] { ++muteAll; };
  service.onPressed(HotkeyManager::kMuteAllHotkeyId);
  other.reset();
  queue.runUntilIdle();
  EXPECT_EQ(muteAll, 1);
}

// Off until recorded; where the desktop does not tell the focused window, neither registered nor
// matched.
TEST_F(HotkeyFixture, FocusedAppShortcutsReachTheirCallbackWhereTheFocusIsKnown) {
  std::vector<std::uint32_t> pressed;
  manager.onFocusedAppHotkeyPressed = [&](std::uint32_t id) { pressed.push_back(id); };
  store(0, 0xA0000, 1, 0xA0000);
  manager.registerHotkeys();
  EXPECT_EQ(service.registered.size(), 2u);
  preferences.set(prefs::kMuteFocusedHotkeyKeyCode, std::int64_t{46});
  preferences.set(prefs::kMuteFocusedHotkeyModifiers, 0xC0000);
  preferences.set(prefs::kFocusedVolumeDownHotkeyKeyCode, std::int64_t{125});
  preferences.set(prefs::kFocusedVolumeDownHotkeyModifiers, 0xC0000);
  manager.registerHotkeys();
  ASSERT_EQ(service.registered.size(), 4u);
  EXPECT_EQ(service.registered.at(HotkeyManager::kMuteFocusedHotkeyId).name, "mute-focused");
  EXPECT_EQ(service.registered.at(HotkeyManager::kMuteFocusedHotkeyId).evdev, 50);  // M
  service.onPressed(HotkeyManager::kMuteFocusedHotkeyId);
  queue.runUntilIdle();
  EXPECT_TRUE(manager.handleLocalKeyDown(125, 0xC0000));
  EXPECT_TRUE(manager.handleLocalKeyDown(125, 0xC0000, /*autoRepeat=*/true));  // a held volume key
  EXPECT_TRUE(manager.handleLocalKeyDown(46, 0xC0000, /*autoRepeat=*/true));   // a held mute key
  EXPECT_TRUE(service.registered.at(HotkeyManager::kFocusedVolumeDownHotkeyId).repeats);
  EXPECT_FALSE(service.registered.at(HotkeyManager::kMuteFocusedHotkeyId).repeats);
  EXPECT_EQ(pressed, (std::vector<std::uint32_t>{HotkeyManager::kMuteFocusedHotkeyId,
                                                 HotkeyManager::kFocusedVolumeDownHotkeyId,
                                                 HotkeyManager::kFocusedVolumeDownHotkeyId}));
  EXPECT_EQ(muteAll + popover, 0);

  manager.setFocusedAppHotkeysEnabled(false);
  manager.registerHotkeys();
  EXPECT_EQ(service.registered.size(), 2u);
  EXPECT_FALSE(manager.handleLocalKeyDown(46, 0xC0000));
  service.onPressed(HotkeyManager::kMuteFocusedHotkeyId);
  queue.runUntilIdle();
  EXPECT_EQ(pressed.size(), 3u);
}

// While a recorder waits: X11 grabs are let go and taken again; a desktop that would ask the user
// again at every binding keeps its shortcuts, and their presses do nothing meanwhile.
TEST_F(HotkeyFixture, ASuspensionLetsGoOnlyWhereRebindingIsQuiet) {
  store(0, 0xA0000, 1, 0xA0000);
  manager.registerHotkeys();
  manager.setSuspended(true);
  EXPECT_TRUE(service.registered.empty());
  manager.registerHotkeys();  // a shortcut changed meanwhile
  EXPECT_TRUE(service.registered.empty());
  manager.setSuspended(false);
  EXPECT_EQ(service.registered.size(), 2u);

  service.quiet = false;
  manager.setSuspended(true);
  EXPECT_EQ(service.registered.size(), 2u);
  service.onPressed(HotkeyManager::kMuteAllHotkeyId);
  EXPECT_FALSE(manager.handleLocalKeyDown(0, 0xA0000));
  queue.runUntilIdle();
  EXPECT_EQ(muteAll, 0);
  manager.setSuspended(false);
  service.onPressed(HotkeyManager::kMuteAllHotkeyId);
  queue.runUntilIdle();
  EXPECT_EQ(muteAll, 1);
}

TEST_F(HotkeyFixture, LocalMonitorMatchesExactFlagsAndReadsModifiersAtEachPress) {
  store(0, 0xA0000, 1, 0xA0000);
  service.refuse = true;  // another program holds the keys: only our windows see them
  manager.registerHotkeys();
  EXPECT_TRUE(manager.handleLocalKeyDown(0, 0xA0000 | 0x0120));  // device-dependent bits ignored
  EXPECT_EQ(muteAll, 1);  // at once, inside the event handling
  EXPECT_TRUE(manager.handleLocalKeyDown(1, 0xA0000));
  EXPECT_EQ(popover, 1);
  // A held key's repeats are swallowed without acting; a keypad key matches like any other.
  EXPECT_TRUE(manager.handleLocalKeyDown(1, 0xA0000, /*autoRepeat=*/true));
  EXPECT_EQ(popover, 1);
  EXPECT_TRUE(manager.handleLocalKeyDown(1, 0xA0000 | kModifierNumericPad));
  EXPECT_EQ(popover, 2);
  EXPECT_FALSE(manager.handleLocalKeyDown(0, 0xA0000 | kModifierCapsLock));
  EXPECT_FALSE(manager.handleLocalKeyDown(0, kModifierOption));
  EXPECT_FALSE(manager.handleLocalKeyDown(2, 0xA0000));

  // New modifiers count without a new registration; the key code does not.
  preferences.set(prefs::kHotkeyModifiers, kModifierControl);
  preferences.set(prefs::kHotkeyKeyCode, 2);
  EXPECT_TRUE(manager.handleLocalKeyDown(0, kModifierControl));
  EXPECT_FALSE(manager.handleLocalKeyDown(2, kModifierControl));
}

TEST(KeyCodeTable, BothDirectionsAreOneToOneAndGapsHaveNoKey) {
  EXPECT_EQ(evdevFromKeyCode(53), 1);  // Escape
  EXPECT_EQ(x11KeycodeFromKeyCode(0), 38);
  EXPECT_EQ(keyCodeFromX11Keycode(38), 0);
  EXPECT_FALSE(evdevFromKeyCode(-1));
  EXPECT_FALSE(evdevFromKeyCode(52));  // no key there
  EXPECT_FALSE(keyCodeFromEvdev(0));

  std::set<int> seen;
  for (std::int64_t code = 0; code < 128; ++code) {
    auto evdev = evdevFromKeyCode(code);
    if (!evdev) continue;
    EXPECT_TRUE(seen.insert(*evdev).second) << "evdev " << *evdev << " twice";
    EXPECT_EQ(keyCodeFromEvdev(*evdev), code);
  }
  EXPECT_GT(seen.size(), 100u);
}

// Every overlay's history as text, e.g. "All Muted: fade 1 15 fade 0 30 close" (durations in
// hundredths of a second), and whether it is still open.
struct FakePresenter final : OverlayPresenter {
  struct Surface final : OverlaySurface {
    Surface(FakePresenter& presenter, size_t index) : presenter(presenter), index(index) {}
    void fadeTo(double opacity, Seconds duration) override {
      presenter.history[index] += " fade " + std::to_string(int(opacity)) + " " +
                                  std::to_string(int(duration.count() * 100 + 0.5));
    }
    void close() override {
      presenter.history[index] += " close";
      presenter.open[index] = false;
    }
    FakePresenter& presenter;
    size_t index;
  };
  std::unique_ptr<OverlaySurface> present(const std::string& message) override {
    history.push_back(message + ":");
    open.push_back(true);
    return std::make_unique<Surface>(*this, history.size() - 1);
  }
  std::vector<std::string> history;
  std::vector<bool> open;
};

struct OverlayFixture : ::testing::Test {
  ManualMainQueue queue;
  FakePresenter presenter;
  OverlayManager overlay{presenter, queue};
};

TEST_F(OverlayFixture, FadesInHoldsFadesOutAndCloses) {
  overlay.show("All Muted");
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15");
  queue.advance(Seconds(1.49));
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15");
  queue.advance(Seconds(0.02));
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15 fade 0 30");
  queue.advance(Seconds(0.28));
  EXPECT_TRUE(presenter.open[0]);
  queue.advance(Seconds(0.02));  // 1.81 s after the show
  EXPECT_FALSE(presenter.open[0]);
  EXPECT_FALSE(overlay.isShowing());
  EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(OverlayFixture, ANewMessageReplacesTheOldOneAndRestartsTheWait) {
  overlay.show("All Muted");
  queue.advance(Seconds(1.0));
  overlay.show("Restored");
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15 close");  // at once, no fade
  EXPECT_EQ(std::count(presenter.open.begin(), presenter.open.end(), true), 1);
  queue.advance(Seconds(1.79));
  EXPECT_TRUE(presenter.open[1]);
  queue.advance(Seconds(0.02));
  EXPECT_FALSE(presenter.open[1]);

  // A show during a fade-out: the earlier fade's end must not close the new overlay.
  overlay.show("All Muted");
  queue.advance(Seconds(1.6));  // fading out
  overlay.show("Restored");
  queue.advance(Seconds(0.5));
  EXPECT_TRUE(presenter.open[3]);
  EXPECT_EQ(presenter.history[3], "Restored: fade 1 15");
  queue.advance(Seconds(1.4));
  EXPECT_FALSE(overlay.isShowing());
}

}  // namespace
}  // namespace mixelot::controls
