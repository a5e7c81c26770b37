#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/OutputDevice.h"
#include "engine/hal/AudioHardware.h"

namespace mixelot {

// The system's view of the output devices: the default device and its changes, the devices an app
// can be routed to, and the default device's hardware volume and mute, which nothing else writes.
// Main thread only.
class AudioDeviceManager {
 public:
  explicit AudioDeviceManager(hal::AudioHardware& hardware);
  ~AudioDeviceManager();
  AudioDeviceManager(const AudioDeviceManager&) = delete;
  AudioDeviceManager& operator=(const AudioDeviceManager&) = delete;

  hal::ObjectID defaultOutputDeviceID() const { return defaultOutputDeviceID_; }
  // Called (on the main thread) after the default output device changed.
  std::function<void()> onDefaultDeviceChanged;

  std::string currentDeviceIcon();
  std::string deviceName(hal::ObjectID device);
  // The default device's UID; empty without a default or a readable UID.
  std::string currentDeviceUID();
  bool supportsVolume();
  float volume();
  void setVolume(float volume);
  // The default device's mute, where it has one. `muted()` is false without a device, a mute
  // control or a readable value; `setMuted` does nothing then.
  bool supportsMute();
  bool muted();
  void setMuted(bool muted);
  std::vector<OutputDevice> availableOutputDevices();
  // Makes the listed output device `uid` the system's default output (the user's choice, as the
  // desktop's sound settings make it); false for a device not listed or a refused write. The
  // change arrives later through onDefaultDeviceChanged, as any other.
  bool setDefaultOutputDevice(const std::string& uid);

 private:
  void handleDefaultDeviceChanged();

  hal::AudioHardware& hardware_;
  // Held only by the manager; the listener keeps a weak reference to know the manager is alive.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  hal::ObjectID defaultOutputDeviceID_ = hal::kUnknownObject;
  std::optional<hal::ListenerID> deviceChangeListener_;
};

}  // namespace mixelot
