#include "engine/AudioDeviceManager.h"

#include <algorithm>
#include <array>

#include "engine/PlaythroughEngine.h"
#include "engine/Volume.h"
#include "engine/hal/PropertyReads.h"

namespace mixelot {

namespace {

using hal::PropertyAddress;
namespace selector = hal::selector;
namespace scope = hal::scope;
namespace transport = hal::transport;

constexpr const char* kUnknownDeviceName = "Unknown Device";
constexpr const char* kFallbackDeviceIcon = "hifispeaker";
constexpr const char* kNoDeviceIcon = "desktopcomputer";
// Devices expose their volume either as one main control (element 0) or per channel (1, 2).
constexpr std::array<uint32_t, 3> kVolumeElements = {0, 1, 2};

const PropertyAddress kDefaultOutputAddress{selector::kDefaultOutputDevice, scope::kGlobal, 0};

std::string iconForTransport(uint32_t type) {
  switch (type) {
    case transport::kAirPlay:
      return "airplayaudio";
    case transport::kBluetooth:
    case transport::kBluetoothLE:
      return "headphones";
    case transport::kBuiltIn:
      return "laptopcomputer";
    case transport::kDisplayPort:
    case transport::kHDMI:
      return "tv";
    case transport::kUSB:
      return "cable.connector";
    default:
      return kFallbackDeviceIcon;
  }
}

PropertyAddress volumeAddress(uint32_t element) {
  return {selector::kVolumeScalar, scope::kOutput, element};
}

const PropertyAddress kVirtualMainVolumeAddress{selector::kVirtualMainVolume, scope::kOutput, 0};
const PropertyAddress kMuteAddress{selector::kMute, scope::kOutput, 0};

}  // namespace

AudioDeviceManager::AudioDeviceManager(hal::AudioHardware& hardware) : hardware_(hardware) {
  if (auto device = hal::readUInt32(hardware_, hal::kSystemObject, kDefaultOutputAddress))
    defaultOutputDeviceID_ = *device;

  // Deliveries already queued may arrive after this manager is gone; the weak token tells.
  std::weak_ptr<bool> alive = alive_;
  hal::ListenerID id = 0;
  const hal::Status added = hardware_.addPropertyListener(
      hal::kSystemObject, kDefaultOutputAddress,
      [this, alive](std::span<const PropertyAddress>) {
        if (alive.expired()) return;
        handleDefaultDeviceChanged();
      },
      id);
  if (added == hal::kNoError) deviceChangeListener_ = id;
}

AudioDeviceManager::~AudioDeviceManager() {
  if (deviceChangeListener_) {
    hardware_.removePropertyListener(hal::kSystemObject, kDefaultOutputAddress,
                                     *deviceChangeListener_);
    deviceChangeListener_.reset();
  }
}

void AudioDeviceManager::handleDefaultDeviceChanged() {
  // On a failed read the previous device is the best guess left; the callback still runs so the
  // shell can look again.
  if (auto device = hal::readUInt32(hardware_, hal::kSystemObject, kDefaultOutputAddress))
    defaultOutputDeviceID_ = *device;
  if (onDefaultDeviceChanged) onDefaultDeviceChanged();
}

std::string AudioDeviceManager::currentDeviceIcon() {
  if (defaultOutputDeviceID_ == hal::kUnknownObject) return kNoDeviceIcon;
  auto type = hal::readUInt32(hardware_, defaultOutputDeviceID_, {selector::kTransportType});
  if (!type) return kNoDeviceIcon;
  return iconForTransport(*type);
}

std::string AudioDeviceManager::deviceName(hal::ObjectID device) {
  return hal::readString(hardware_, device, {selector::kName}).value_or(kUnknownDeviceName);
}

std::string AudioDeviceManager::currentDeviceUID() {
  if (defaultOutputDeviceID_ == hal::kUnknownObject) return {};
  return hal::readString(hardware_, defaultOutputDeviceID_, {selector::kDeviceUID}).value_or("");
}

bool AudioDeviceManager::supportsVolume() {
  if (defaultOutputDeviceID_ == hal::kUnknownObject) return false;
  for (uint32_t element : kVolumeElements)
    if (hardware_.hasProperty(defaultOutputDeviceID_, volumeAddress(element))) return true;
  return false;
}

float AudioDeviceManager::volume() {
  constexpr float kFallback = 1.0f;
  const hal::ObjectID device = defaultOutputDeviceID_;
  if (device == hal::kUnknownObject) return kFallback;
  if (hardware_.hasProperty(device, kVirtualMainVolumeAddress)) {
    if (auto value = hal::readFloat(hardware_, device, kVirtualMainVolumeAddress)) return *value;
  }
  for (uint32_t element : kVolumeElements) {
    if (!hardware_.hasProperty(device, volumeAddress(element))) continue;
    if (auto value = hal::readFloat(hardware_, device, volumeAddress(element))) return *value;
  }
  return kFallback;
}

void AudioDeviceManager::setVolume(float volume) {
  const hal::ObjectID device = defaultOutputDeviceID_;
  if (device == hal::kUnknownObject) return;
  const float clamped = clampVolume(volume);
  if (hardware_.hasProperty(device, kVirtualMainVolumeAddress)) {
    hal::writeFloat(hardware_, device, kVirtualMainVolumeAddress, clamped);
    return;
  }
  // Every channel control that exists, so a device with only left and right moves both.
  for (uint32_t element : kVolumeElements)
    if (hardware_.hasProperty(device, volumeAddress(element)))
      hal::writeFloat(hardware_, device, volumeAddress(element), clamped);
}

bool AudioDeviceManager::supportsMute() {
  return defaultOutputDeviceID_ != hal::kUnknownObject &&
         hardware_.hasProperty(defaultOutputDeviceID_, kMuteAddress);
}

bool AudioDeviceManager::muted() {
  if (defaultOutputDeviceID_ == hal::kUnknownObject) return false;
  return hal::readUInt32(hardware_, defaultOutputDeviceID_, kMuteAddress).value_or(0) != 0;
}

void AudioDeviceManager::setMuted(bool muted) {
  if (!supportsMute()) return;
  hal::writeUInt32(hardware_, defaultOutputDeviceID_, kMuteAddress, muted ? 1u : 0u);
}

bool AudioDeviceManager::setDefaultOutputDevice(const std::string& uid) {
  auto devices = hal::readObjectList(hardware_, hal::kSystemObject, {selector::kDevices});
  if (!devices || uid.empty()) return false;
  const auto listed = availableOutputDevices();
  if (std::none_of(listed.begin(), listed.end(),
                   [&](const OutputDevice& device) { return device.id == uid; }))
    return false;
  for (hal::ObjectID device : *devices) {
    if (hal::readString(hardware_, device, {selector::kDeviceUID}) != uid) continue;
    return hal::writeUInt32(hardware_, hal::kSystemObject, {selector::kDefaultOutputDevice},
                            device) == hal::kNoError;
  }
  return false;
}

std::vector<OutputDevice> AudioDeviceManager::availableOutputDevices() {
  std::vector<OutputDevice> result;
  auto devices = hal::readObjectList(hardware_, hal::kSystemObject, {selector::kDevices});
  if (!devices) return result;

  for (hal::ObjectID device : *devices) {
    uint32_t streamBytes = 0;
    const bool hasOutputStreams =
        hardware_.getPropertyDataSize(device, {selector::kStreams, scope::kOutput}, streamBytes) ==
            hal::kNoError &&
        streamBytes > 0;
    if (!hasOutputStreams) {
      auto canBeDefault =
          hal::readUInt32(hardware_, device, {selector::kDeviceCanBeDefault, scope::kOutput});
      if (!canBeDefault || *canBeDefault == 0) continue;
    }

    std::string name = deviceName(device);
    // Our own aggregate devices must never show up as a place to route an app to.
    if (name.starts_with(PlaythroughEngine::kAggregateNamePrefix)) continue;
    std::string uid =
        hal::readString(hardware_, device, {selector::kDeviceUID}).value_or(std::string());

    auto type = hal::readUInt32(hardware_, device, {selector::kTransportType});
    std::string icon = type ? iconForTransport(*type) : kFallbackDeviceIcon;
    result.push_back({std::move(uid), std::move(name), std::move(icon)});
  }
  return result;
}

}  // namespace mixelot
