#include "engine/AudioDeviceManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"

namespace mixelot {
namespace {

using hal::sim::SimAudioSystem;
using Operation = SimAudioSystem::Operation;
namespace selector = hal::selector;
namespace transport = hal::transport;

class AudioDeviceManagerTest : public ::testing::Test {
 protected:
  static hal::PropertyAddress volume(uint32_t element) {
    return {selector::kVolumeScalar, hal::scope::kOutput, element};
  }
  float read(hal::ObjectID object, const hal::PropertyAddress& address) const {
    return std::get<float>(*sim.property(object, address));
  }
  void failRead(hal::ObjectID object, uint32_t selector, std::optional<uint32_t> element = {}) {
    sim.addFault({.operation = Operation::kGetPropertyData,
                  .object = object,
                  .selector = selector,
                  .element = element});
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
};

TEST_F(AudioDeviceManagerTest, ListsRoutableDevicesWithTheirIcons) {
  sim.addDevice({.uid = "air", .name = "Living Room", .transport = transport::kAirPlay});
  sim.addDevice({.uid = "bt", .name = "Buds", .transport = transport::kBluetooth});
  sim.addDevice({.uid = "ble", .name = "Buds LE", .transport = transport::kBluetoothLE});
  sim.addDevice({.uid = "dp", .name = "Monitor", .transport = transport::kDisplayPort});
  sim.addDevice({.uid = "hdmi", .name = "TV", .transport = transport::kHDMI});
  sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  sim.addDevice({.uid = "virt", .name = "Virtual", .transport = transport::kVirtual});
  // No output streams but may be the default output: listed. Neither: dropped.
  sim.addDevice({.uid = "dflt", .name = "Default only", .outputStreams = 0});
  sim.addDevice({.uid = "mic", .name = "Mic", .outputStreams = 0, .canBeDefault = 0u});
  sim.addDevice({.uid = "in", .name = "Input", .outputStreams = 0, .canBeDefault = {}});
  // Our own aggregate devices, by the name the engine gives them.
  sim.addDevice({.uid = "x", .name = "Mixelot-com.a"});
  // Failed reads fall back.
  failRead(sim.addDevice({.uid = "anon", .name = "", .transport = transport::kUSB}),
           selector::kName);
  failRead(sim.addDevice({.uid = "hidden", .name = "No UID"}), selector::kDeviceUID);
  failRead(sim.addDevice({.uid = "odd", .name = "Odd"}), selector::kTransportType);

  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.availableOutputDevices(),
            (std::vector<OutputDevice>{{"air", "Living Room", "airplayaudio"},
                                       {"bt", "Buds", "headphones"},
                                       {"ble", "Buds LE", "headphones"},
                                       {"dp", "Monitor", "tv"},
                                       {"hdmi", "TV", "tv"},
                                       {"usb", "DAC", "cable.connector"},
                                       {"virt", "Virtual", "hifispeaker"},
                                       {"dflt", "Default only", "laptopcomputer"},
                                       {"anon", "Unknown Device", "cable.connector"},
                                       {"", "No UID", "laptopcomputer"},
                                       {"odd", "Odd", "hifispeaker"}}));

  failRead(hal::kSystemObject, selector::kDevices);
  EXPECT_TRUE(manager.availableOutputDevices().empty());
}

TEST_F(AudioDeviceManagerTest, CurrentDeviceIconFallsBackToTheDesktop) {
  AudioDeviceManager none(sim);
  EXPECT_EQ(none.currentDeviceIcon(), "desktopcomputer");
  EXPECT_FALSE(none.supportsVolume());
  EXPECT_EQ(none.volume(), 1.0f);

  auto usb = sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  sim.setDefaultOutputDevice(usb);
  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.currentDeviceIcon(), "cable.connector");
  failRead(usb, selector::kTransportType);
  EXPECT_EQ(manager.currentDeviceIcon(), "desktopcomputer");
}

TEST_F(AudioDeviceManagerTest, ChannelVolumesAreReadFromTheFirstAndWrittenToEvery) {
  auto device = sim.addDevice({.uid = "lr", .name = "LR", .volumeScalars = {{1, 0.3f}, {2, 0.6f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);

  EXPECT_TRUE(manager.supportsVolume());
  EXPECT_EQ(manager.volume(), 0.3f);
  manager.setVolume(0.5f);
  EXPECT_EQ(read(device, volume(1)), 0.5f);
  EXPECT_EQ(read(device, volume(2)), 0.5f);
  manager.setVolume(1.7f);
  EXPECT_EQ(read(device, volume(1)), 1.0f);
  manager.setVolume(-0.2f);
  EXPECT_EQ(read(device, volume(2)), 0.0f);
  manager.setVolume(0.8f);
  manager.setVolume(std::nanf(""));  // must not reach the hardware as NaN
  EXPECT_EQ(read(device, volume(1)), 0.0f);

  manager.setVolume(0.8f);
  failRead(device, selector::kVolumeScalar, 1u);
  EXPECT_EQ(manager.volume(), 0.8f);  // from element 2
  failRead(device, selector::kVolumeScalar);
  EXPECT_EQ(manager.volume(), 1.0f);
}

TEST_F(AudioDeviceManagerTest, VirtualMainVolumeWinsForReadAndWriteButNotForSupport) {
  auto device = sim.addDevice(
      {.uid = "v", .name = "V", .virtualMainVolume = 0.25f, .volumeScalars = {{0, 0.9f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);

  EXPECT_EQ(manager.volume(), 0.25f);
  manager.setVolume(0.4f);
  EXPECT_EQ(read(device, {selector::kVirtualMainVolume, hal::scope::kOutput}), 0.4f);
  EXPECT_EQ(read(device, volume(0)), 0.9f);
  failRead(device, selector::kVirtualMainVolume);
  EXPECT_EQ(manager.volume(), 0.9f);

  sim.setDefaultOutputDevice(sim.addDevice({.uid = "m", .name = "M", .virtualMainVolume = 0.5f}));
  queue.runUntilIdle();
  EXPECT_FALSE(manager.supportsVolume());
}

TEST_F(AudioDeviceManagerTest, ListenerFollowsTheDefaultDeviceAndKeepsTheOldIDOnFailure) {
  auto first = sim.addDevice({.uid = "a", .name = "A"});
  auto second = sim.addDevice({.uid = "b", .name = "B"});
  sim.setDefaultOutputDevice(first);
  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.defaultOutputDeviceID(), first);
  int calls = 0;
  manager.onDefaultDeviceChanged = [&] { ++calls; };

  sim.setDefaultOutputDevice(second);
  queue.runUntilIdle();
  EXPECT_EQ(manager.defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 1);

  failRead(hal::kSystemObject, selector::kDefaultOutputDevice);
  sim.setDefaultOutputDevice(first);
  queue.runUntilIdle();
  EXPECT_EQ(manager.defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 2);
}

TEST_F(AudioDeviceManagerTest, TeardownRemovesTheListenerItRegistered) {
  auto device = sim.addDevice({.uid = "a", .name = "A"});
  const size_t before = sim.listenerCount();
  int calls = 0;
  {
    AudioDeviceManager manager(sim);
    manager.onDefaultDeviceChanged = [&] { ++calls; };
    EXPECT_EQ(sim.listenerCount(), before + 1);
    sim.setDefaultOutputDevice(device);  // a delivery is now queued
  }
  EXPECT_EQ(sim.listenerCount(), before);
  queue.runUntilIdle();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace mixelot
